// Floppy image containers for the tests (see image_writers.h).
#include "image_writers.h"

#include <algorithm>
#include <cstring>
#include <map>

#include <gtest/gtest.h>

namespace testsupport {

namespace {

void put16(std::string& b, std::size_t at, std::uint32_t v)
{
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

void add16(std::string& b, std::uint32_t v)
{
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>((v >> 8) & 0xFF);
}

bool uniform(const std::string& data)
{
    return !data.empty() && data.find_first_not_of(data[0]) == std::string::npos;
}

std::uint8_t pda(const FloppySector& s)
{
    return s.n == 3 ? 0x90 : 0x30; // 1.2 MB or 1.44 MB media
}

// The 16-byte NFD sector entry from its C at `at`: r0 has no retry byte.
void nfdSector(std::string& b, std::size_t at, const FloppySector& s, bool r1)
{
    b[at] = static_cast<char>(s.c);
    b[at + 1] = static_cast<char>(s.h);
    b[at + 2] = static_cast<char>(s.r);
    b[at + 3] = static_cast<char>(s.n);
    b[at + 4] = 1; // MFM
    b[at + 5] = 0; // a normal data mark
    b[at + 6] = static_cast<char>(s.bad ? 0xB0 : 0x00);
    b[at + 7] = static_cast<char>((s.bad ? 0x40 : 0x00) | (s.h << 2));
    b[at + 8] = static_cast<char>(s.bad ? 0x20 : 0x00);
    b[at + 9] = static_cast<char>(s.bad ? 0x20 : 0x00);
    b[at + (r1 ? 11 : 10)] = static_cast<char>(pda(s));
}

std::uint16_t teleCrc(const std::string& data, std::uint16_t crc = 0)
{
    for (unsigned char c : data) {
        crc ^= static_cast<std::uint16_t>(c << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0xA097 : crc << 1);
    }
    return crc;
}

// TeleDisk's run encoding of a sector: repeated 2-byte units, else literal stretches.
std::string teleRuns(const std::string& data)
{
    std::string out(1, '\2');
    std::size_t at = 0;
    std::string literal;
    auto flush = [&] {
        for (std::size_t k = 0; k < literal.size(); k += 255) {
            const std::string part = literal.substr(k, 255);
            out += '\0';
            out += static_cast<char>(part.size());
            out += part;
        }
        literal.clear();
    };
    while (at < data.size()) {
        std::size_t count = 1;
        while (at + 2 * (count + 1) <= data.size() && count < 255
               && data.compare(at + 2 * count, 2, data, at, 2) == 0)
            ++count;
        if (count >= 3 && at + 2 <= data.size()) {
            flush();
            out += '\1';
            out += static_cast<char>(count);
            out += data.substr(at, 2);
            at += 2 * count;
        } else {
            literal += data[at++];
        }
    }
    flush();
    return out;
}

} // namespace

FloppyTracks floppyTracks(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack,
                          std::uint32_t heads)
{
    std::uint8_t n = 0;
    while ((128u << n) < sectorSize)
        ++n;
    const std::size_t trackSize = std::size_t{sectorSize} * sectorsPerTrack;
    FloppyTracks tracks(raw.size() / trackSize);
    for (std::size_t t = 0; t < tracks.size(); ++t)
        for (std::uint32_t s = 0; s < sectorsPerTrack; ++s)
            tracks[t].push_back({static_cast<std::uint8_t>(t / heads), static_cast<std::uint8_t>(t % heads),
                                 static_cast<std::uint8_t>(s + 1), n, raw.substr(t * trackSize + s * sectorSize, sectorSize),
                                 false, {}});
    return tracks;
}

std::string nfdR0Of(const FloppyTracks& tracks, std::uint32_t heads)
{
    constexpr std::size_t kHeader = 0x120 + 163 * 26 * 16 + 0x10;
    std::string b(kHeader, '\0');
    std::memcpy(b.data(), "T98FDDIMAGE.R0", 14);
    std::memcpy(b.data() + 0x10, "made by the tests", 17);
    put32(b, 0x110, kHeader);
    b[0x115] = static_cast<char>(heads);
    EXPECT_LE(tracks.size(), 163u);
    for (std::size_t t = 0; t < 163; ++t)
        for (std::size_t s = 0; s < 26; ++s) {
            const std::size_t at = 0x120 + (t * 26 + s) * 16;
            if (t < tracks.size() && s < tracks[t].size())
                nfdSector(b, at, tracks[t][s], false);
            else
                b[at] = static_cast<char>(0xFF);
        }
    for (const auto& track : tracks)
        for (const FloppySector& s : track)
            b += s.data;
    return b;
}

std::string nfdR1Of(const FloppyTracks& tracks, std::uint32_t heads)
{
    std::string b(0x3C0, '\0');
    std::memcpy(b.data(), "T98FDDIMAGE.R1", 14);
    b[0x115] = static_cast<char>(heads);
    EXPECT_LE(tracks.size(), 164u);
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        put32(b, 0x120 + 4 * t, static_cast<std::uint32_t>(b.size()));
        std::string head(16, '\0');
        put16(head, 0, static_cast<std::uint32_t>(tracks[t].size()));
        b += head;
        for (const FloppySector& s : tracks[t]) {
            std::string id(16, '\0');
            nfdSector(id, 0, s, true);
            id[10] = static_cast<char>(s.rereads.size());
            b += id;
        }
    }
    put32(b, 0x110, static_cast<std::uint32_t>(b.size()));
    for (const auto& track : tracks)
        for (const FloppySector& s : track) {
            b += s.data;
            for (const std::string& again : s.rereads)
                b += again;
        }
    return b;
}

std::string fddOf(const FloppyTracks& tracks)
{
    constexpr std::size_t kTable = 220, kHeader = kTable + 160 * 26 * 12 + 32;
    std::string b(kHeader, '\0');
    std::memcpy(b.data(), "VFD1.00", 8);
    std::memcpy(b.data() + 8, "made by the tests", 17);
    EXPECT_LE(tracks.size(), 160u);
    for (std::size_t t = 0; t < 160; ++t)
        for (std::size_t s = 0; s < 26; ++s) {
            const std::size_t at = kTable + (t * 26 + s) * 12;
            if (t >= tracks.size() || s >= tracks[t].size()) {
                std::fill(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + 12), '\xFF');
                continue;
            }
            const FloppySector& sector = tracks[t][s];
            b[at] = static_cast<char>(sector.c);
            b[at + 1] = static_cast<char>(sector.h);
            b[at + 2] = static_cast<char>(sector.r);
            b[at + 3] = static_cast<char>(sector.n);
            b[at + 4] = sector.data.empty() ? '\0' : sector.data[0];
            b[at + 6] = 1; // MFM
            b[at + 7] = static_cast<char>(sector.n == 3 ? 1 : 0);
            if (uniform(sector.data)) {
                put32(b, at + 8, 0xFFFFFFFF);
            } else {
                put32(b, at + 8, static_cast<std::uint32_t>(b.size()));
                b += sector.data;
            }
        }
    return b;
}

namespace {

std::string trackImage(std::string header, const std::string& raw, std::uint32_t trackSize, std::vector<bool> stored)
{
    const std::size_t count = raw.size() / trackSize;
    for (std::size_t t = 0; t < count; ++t)
        if (stored.empty() || (t < stored.size() && stored[t]))
            header += raw.substr(t * trackSize, trackSize);
    return header;
}

} // namespace

std::string dcpOf(const std::string& raw, std::uint8_t media, std::uint32_t trackSize, std::vector<bool> stored)
{
    std::string b(0xA2, '\0');
    b[0] = static_cast<char>(media);
    const std::size_t count = raw.size() / trackSize;
    for (std::size_t t = 0; t < count && t < 160; ++t)
        b[1 + t] = (stored.empty() || (t < stored.size() && stored[t])) ? 1 : 0;
    b[0xA1] = stored.empty() ? 1 : 0;
    return trackImage(b, raw, trackSize, stored);
}

std::string dimOf(const std::string& raw, std::uint8_t media, std::uint32_t trackSize, std::vector<bool> stored)
{
    std::string b(0x100, '\0');
    b[0] = static_cast<char>(media);
    const std::size_t count = raw.size() / trackSize;
    for (std::size_t t = 0; t < count && t < 170; ++t)
        b[1 + t] = (stored.empty() || (t < stored.size() && stored[t])) ? 1 : 0;
    std::memcpy(b.data() + 0xAB, "DIFC HEADER  ", 13);
    std::memcpy(b.data() + 0xC2, "made by the tests", 17);
    return trackImage(b, raw, trackSize, stored);
}

std::string imdOf(const FloppyTracks& tracks, std::uint32_t heads)
{
    std::string b = "IMD 1.18: 01/02/2024 03:04:05\r\nmade by the tests\r\n\x1A";
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        const auto& track = tracks[t];
        b += static_cast<char>(track.size() >= 15 || track[0].n == 3 ? 3 : 5); // MFM at 500 or 250 kbit/s
        b += static_cast<char>(t / heads);
        b += static_cast<char>(t % heads);
        b += static_cast<char>(track.size());
        b += static_cast<char>(track[0].n);
        for (const FloppySector& s : track)
            b += static_cast<char>(s.r);
        for (const FloppySector& s : track) {
            if (s.bad) {
                b += '\5';
                b += s.data;
            } else if (uniform(s.data)) {
                b += '\2';
                b += s.data[0];
            } else {
                b += '\1';
                b += s.data;
            }
        }
    }
    return b;
}

std::string td0Of(const FloppyTracks& tracks, std::uint32_t heads, bool advanced)
{
    std::string head(12, '\0');
    head[0] = advanced ? 't' : 'T';
    head[1] = advanced ? 'd' : 'D';
    head[4] = 0x15;                                                   // version 1.5
    head[5] = static_cast<char>(tracks[0].size() >= 15 ? 2 : 0);      // 500 or 250 kbit/s
    head[6] = 4;                                                      // a 3.5" drive
    head[7] = static_cast<char>(0x80);                                // a comment follows
    head[9] = static_cast<char>(heads);
    put16(head, 10, teleCrc(head.substr(0, 10)));
    std::string body;
    const std::string comment = std::string("made by the tests") + '\0';
    std::string commentHead(10, '\0');
    put16(commentHead, 2, static_cast<std::uint32_t>(comment.size()));
    commentHead[4] = 124; // 2024
    put16(commentHead, 0, teleCrc(commentHead.substr(2) + comment));
    body += commentHead + comment;
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        std::string th;
        th += static_cast<char>(tracks[t].size());
        th += static_cast<char>(t / heads);
        th += static_cast<char>(t % heads);
        th += static_cast<char>(teleCrc(th) & 0xFF);
        body += th;
        for (const FloppySector& s : tracks[t]) {
            std::string data;
            if (uniform(s.data)) {
                data = std::string(1, '\1');
                std::string pattern(4, '\0');
                put16(pattern, 0, static_cast<std::uint32_t>(s.data.size() / 2));
                pattern[2] = pattern[3] = s.data[0];
                data += pattern;
            } else {
                data = teleRuns(s.data);
                if (data.size() > s.data.size() + 1)
                    data = std::string(1, '\0') + s.data;
            }
            body += static_cast<char>(s.c);
            body += static_cast<char>(s.h);
            body += static_cast<char>(s.r);
            body += static_cast<char>(s.n);
            body += static_cast<char>(s.bad ? 0x02 : 0x00);
            body += static_cast<char>(teleCrc(s.data) & 0xFF);
            add16(body, static_cast<std::uint32_t>(data.size()));
            body += data;
        }
    }
    body += '\xFF';
    return head + (advanced ? teleDiskPack(body) : body);
}

std::string cqmOf(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack, std::uint32_t heads)
{
    std::string b(133, '\0');
    b[0] = 'C';
    b[1] = 'Q';
    b[2] = 0x14;
    put16(b, 0x03, sectorSize);
    b[0x05] = 1;
    put16(b, 0x06, 1);
    b[0x08] = 2;
    put16(b, 0x09, 224);
    put16(b, 0x0B, static_cast<std::uint32_t>(raw.size() / sectorSize));
    b[0x0D] = static_cast<char>(0xF0);
    put16(b, 0x0E, 9);
    put16(b, 0x10, sectorsPerTrack);
    put16(b, 0x12, heads);
    std::memcpy(b.data() + 0x1C, "made by the tests", 17);
    b[0x59] = 1; // high density
    const std::uint32_t cylinders = static_cast<std::uint32_t>(raw.size() / (std::size_t{sectorSize} * sectorsPerTrack * heads));
    b[0x5A] = static_cast<char>(cylinders);
    b[0x5B] = static_cast<char>(cylinders);
    const std::string comment = "tests";
    put16(b, 0x6F, static_cast<std::uint32_t>(comment.size()));
    b[0x74] = 1; // interleave
    b[0x76] = 4; // a 3.5" HD drive
    unsigned char sum = 0;
    for (char c : b)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    b[0x84] = static_cast<char>(-sum);
    b += comment;
    std::size_t at = 0;
    std::string literal;
    auto flush = [&] {
        for (std::size_t k = 0; k < literal.size(); k += 32767) {
            const std::string part = literal.substr(k, 32767);
            add16(b, static_cast<std::uint32_t>(part.size()));
            b += part;
        }
        literal.clear();
    };
    while (at < raw.size()) {
        std::size_t run = 1;
        while (at + run < raw.size() && raw[at + run] == raw[at] && run < 32767)
            ++run;
        if (run >= 5) {
            flush();
            add16(b, static_cast<std::uint32_t>(-static_cast<std::int32_t>(run)) & 0xFFFF);
            b += raw[at];
            at += run;
        } else {
            literal += raw.substr(at, run);
            at += run;
        }
    }
    flush();
    return b;
}

std::string cpcDskOf(const FloppyTracks& tracks, std::uint32_t heads, bool extended)
{
    std::string b(256, '\0');
    const char* id = extended ? "EXTENDED CPC DSK File\r\nDisk-Info\r\n" : "MV - CPCEMU Disk-File\r\nDisk-Info\r\n";
    std::memcpy(b.data(), id, 34);
    std::memcpy(b.data() + 0x22, "sorvane2 tests", 14);
    b[0x30] = static_cast<char>(tracks.size() / heads);
    b[0x31] = static_cast<char>(heads);
    const std::size_t plainSize = 256 + tracks[0].size() * tracks[0][0].data.size();
    if (!extended)
        put16(b, 0x32, static_cast<std::uint32_t>(plainSize));
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        std::size_t blockSize = 256;
        for (const FloppySector& sector : tracks[t])
            blockSize += sector.data.size() * (1 + (extended ? sector.rereads.size() : 0));
        blockSize = (blockSize + 255) / 256 * 256;
        if (extended)
            b[0x34 + t] = static_cast<char>(blockSize / 256);
        else
            blockSize = plainSize;
        std::string block(256, '\0');
        std::memcpy(block.data(), "Track-Info\r\n", 12);
        block[0x10] = static_cast<char>(t / heads);
        block[0x11] = static_cast<char>(t % heads);
        block[0x14] = static_cast<char>(tracks[t][0].n);
        block[0x15] = static_cast<char>(tracks[t].size());
        block[0x16] = 0x54;
        block[0x17] = static_cast<char>(0xE5);
        for (std::size_t s = 0; s < tracks[t].size(); ++s) {
            const FloppySector& sector = tracks[t][s];
            const std::size_t at = 0x18 + s * 8;
            block[at] = static_cast<char>(sector.c);
            block[at + 1] = static_cast<char>(sector.h);
            block[at + 2] = static_cast<char>(sector.r);
            block[at + 3] = static_cast<char>(sector.n);
            block[at + 4] = static_cast<char>(sector.bad ? 0x20 : 0);
            block[at + 5] = static_cast<char>(sector.bad ? 0x20 : 0);
            if (extended)
                put16(block, at + 6, static_cast<std::uint32_t>(sector.data.size() * (1 + sector.rereads.size())));
        }
        for (const FloppySector& sector : tracks[t]) {
            block += sector.data;
            for (const std::string& again : sector.rereads)
                block += extended ? again : std::string();
        }
        block.resize(blockSize, '\0');
        b += block;
    }
    return b;
}

// ── TeleDisk's advanced compression ─────────────────────────────────────────

namespace {

constexpr int kWindow = 4096;
constexpr int kLookahead = 60;
constexpr int kThreshold = 2;
constexpr int kSymbols = 256 - kThreshold + kLookahead;
constexpr int kTable = kSymbols * 2 - 1;
constexpr int kRoot = kTable - 1;
constexpr unsigned kMaxFreq = 0x8000;

class Packer {
public:
    Packer()
    {
        for (int i = 0; i < kSymbols; ++i) {
            m_freq[i] = 1;
            m_son[i] = i + kTable;
            m_parent[i + kTable] = i;
        }
        int i = 0;
        for (int j = kSymbols; j <= kRoot; ++j) {
            m_freq[j] = m_freq[i] + m_freq[i + 1];
            m_son[j] = i;
            m_parent[i] = m_parent[i + 1] = j;
            i += 2;
        }
        m_freq[kTable] = 0xFFFF;
        m_parent[kRoot] = 0;
        static constexpr int kGroups[][2] = {{1, 32}, {3, 16}, {8, 8}, {12, 4}, {24, 2}, {16, 1}};
        int at = 0, value = 0, length = 3;
        for (const auto& [values, width] : kGroups) {
            for (int v = 0; v < values; ++v, ++value) {
                m_pCode[value] = at;
                m_pLen[value] = length;
                at += width;
            }
            ++length;
        }
    }

    std::string pack(const std::string& data)
    {
        const std::size_t size = data.size();
        std::vector<int> head(1 << 16, -1), previous(size, -1);
        auto hash = [&](std::size_t at) {
            return ((static_cast<unsigned char>(data[at]) << 8) ^ (static_cast<unsigned char>(data[at + 1]) << 4)
                       ^ static_cast<unsigned char>(data[at + 2])) & 0xFFFF;
        };
        auto insert = [&](std::size_t at) {
            if (at + 2 < size) {
                const int h = hash(at);
                previous[at] = head[h];
                head[h] = static_cast<int>(at);
            }
        };
        std::size_t at = 0;
        while (at < size) {
            int bestLength = 0, bestDistance = 0;
            if (at + 2 < size) {
                int candidate = head[hash(at)];
                for (int tries = 0; candidate >= 0 && tries < 64; ++tries, candidate = previous[candidate]) {
                    const int distance = static_cast<int>(at) - candidate;
                    if (distance > kWindow - kLookahead)
                        break;
                    int length = 0;
                    while (length < kLookahead && at + length < size && data[candidate + length] == data[at + length])
                        ++length;
                    if (length > bestLength) {
                        bestLength = length;
                        bestDistance = distance;
                        if (length == kLookahead)
                            break;
                    }
                }
            }
            if (bestLength > kThreshold) {
                encodeChar(255 - kThreshold + bestLength);
                encodePosition(bestDistance - 1);
                for (int k = 0; k < bestLength; ++k)
                    insert(at + k);
                at += bestLength;
            } else {
                encodeChar(static_cast<unsigned char>(data[at]));
                insert(at);
                ++at;
            }
        }
        if (m_bits > 0)
            m_out += static_cast<char>(m_buffer << (8 - m_bits));
        // Readers that keep two bytes of input ahead stop that far before
        // the end: zeros past the last code let them reach it.
        m_out.append(4, '\0');
        return m_out;
    }

private:
    void putBits(int count, unsigned value) // the low `count` bits of value, highest first
    {
        for (int k = count - 1; k >= 0; --k) {
            m_buffer = (m_buffer << 1) | ((value >> k) & 1);
            if (++m_bits == 8) {
                m_out += static_cast<char>(m_buffer & 0xFF);
                m_buffer = 0;
                m_bits = 0;
            }
        }
    }

    // encodeChar: the path from the root to `c`'s leaf, one bit per node
    // (its place in its pair of children), then the code adapts as the
    // decoder's does.
    void encodeChar(int c)
    {
        unsigned char up[kTable];
        int depth = 0;
        int k = m_parent[c + kTable];
        do {
            up[depth++] = static_cast<unsigned char>(k & 1);
        } while ((k = m_parent[k]) != kRoot && depth < kTable);
        while (depth > 0)
            putBits(1, up[--depth]);
        update(c);
    }

    void encodePosition(int position)
    {
        const int upper = position >> 6;
        putBits(m_pLen[upper], static_cast<unsigned>(m_pCode[upper]) >> (8 - m_pLen[upper]));
        putBits(6, static_cast<unsigned>(position & 0x3F));
    }

    void reconstruct()
    {
        int j = 0;
        for (int i = 0; i < kTable; ++i)
            if (m_son[i] >= kTable) {
                m_freq[j] = (m_freq[i] + 1) / 2;
                m_son[j] = m_son[i];
                ++j;
            }
        for (int i = 0, k = kSymbols; k < kTable; i += 2, ++k) {
            unsigned f = m_freq[k] = m_freq[i] + m_freq[i + 1];
            int l = k - 1;
            while (f < m_freq[l])
                --l;
            ++l;
            std::memmove(&m_freq[l + 1], &m_freq[l], (k - l) * sizeof m_freq[0]);
            m_freq[l] = f;
            std::memmove(&m_son[l + 1], &m_son[l], (k - l) * sizeof m_son[0]);
            m_son[l] = i;
        }
        for (int i = 0; i < kTable; ++i) {
            const int k = m_son[i];
            m_parent[k] = i;
            if (k < kTable)
                m_parent[k + 1] = i;
        }
    }

    void update(int c)
    {
        if (m_freq[kRoot] == kMaxFreq)
            reconstruct();
        c = m_parent[c + kTable];
        do {
            unsigned k = ++m_freq[c];
            int l = c + 1;
            if (k > m_freq[l]) {
                while (k > m_freq[++l]) {
                }
                --l;
                m_freq[c] = m_freq[l];
                m_freq[l] = k;
                int i = m_son[c];
                m_parent[i] = l;
                if (i < kTable)
                    m_parent[i + 1] = l;
                int j = m_son[l];
                m_son[l] = i;
                m_parent[j] = c;
                if (j < kTable)
                    m_parent[j + 1] = c;
                m_son[c] = j;
                c = l;
            }
        } while ((c = m_parent[c]) != 0);
    }

    std::string m_out;
    unsigned m_buffer = 0;
    int m_bits = 0;
    unsigned m_freq[kTable + 1];
    int m_parent[kTable + kSymbols];
    int m_son[kTable];
    int m_pCode[64];
    int m_pLen[64];
};

} // namespace

std::string teleDiskPack(const std::string& data)
{
    return Packer().pack(data);
}

} // namespace testsupport

namespace testsupport {

namespace {

void add32(std::string& b, std::uint32_t v)
{
    add16(b, v & 0xFFFF);
    add16(b, v >> 16);
}

// An ApriDisk record: its header (head, sector, cylinder for a sector; zeros else), then `data`.
void apriRecord(std::string& b, std::uint32_t type, bool run, const std::string& data, std::uint8_t h = 0,
                std::uint8_t r = 0, std::uint16_t c = 0)
{
    add32(b, type);
    add16(b, run ? 0x3E5A : 0x9E90);
    add16(b, 16);
    add32(b, static_cast<std::uint32_t>(data.size()));
    b += static_cast<char>(h);
    b += static_cast<char>(r);
    add16(b, c);
    b += data;
}

} // namespace

std::string cfiOf(const std::string& raw, std::uint32_t trackBytes)
{
    auto le16 = [](std::string& b, std::uint32_t v) {
        b += static_cast<char>(v & 0xFF);
        b += static_cast<char>((v >> 8) & 0xFF);
    };
    std::string out;
    for (std::size_t start = 0; start < raw.size(); start += trackBytes) {
        const std::string track = raw.substr(start, trackBytes);
        std::string packed;
        std::string literal;
        auto flush = [&] {
            if (literal.empty())
                return;
            le16(packed, static_cast<std::uint32_t>(literal.size()));
            packed += literal;
            literal.clear();
        };
        for (std::size_t i = 0; i < track.size();) {
            std::size_t run = 1;
            while (i + run < track.size() && track[i + run] == track[i] && run < 0x7FFF)
                ++run;
            if (run >= 4) {
                flush();
                le16(packed, 0x8000 | static_cast<std::uint32_t>(run));
                packed += track[i];
                i += run;
            } else {
                literal += track[i++];
            }
        }
        flush();
        le16(out, static_cast<std::uint32_t>(packed.size()));
        out += packed;
    }
    return out;
}

std::string apriDiskOf(const FloppyTracks& tracks)
{
    std::string b = "ACT Apricot disk image\x1a\x04";
    b.resize(128, '\0');
    apriRecord(b, 0xE31D0003, false, std::string("sorvane2 tests", 15));
    for (const std::vector<FloppySector>& track : tracks)
        for (const FloppySector& s : track) {
            if (s.bad) { // a sector since replaced by nothing: not held
                apriRecord(b, 0xE31D0000, false, s.data, s.h, s.r, s.c);
            } else if (uniform(s.data)) {
                std::string run;
                add16(run, static_cast<std::uint32_t>(s.data.size()));
                run += s.data[0];
                apriRecord(b, 0xE31D0001, true, run, s.h, s.r, s.c);
            } else {
                apriRecord(b, 0xE31D0001, false, s.data, s.h, s.r, s.c);
            }
        }
    apriRecord(b, 0xE31D0002, false, std::string("a disk\rfor the tests", 21));
    return b;
}

} // namespace testsupport
