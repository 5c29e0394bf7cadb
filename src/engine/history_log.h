// The execution history as a log file: CP932 text, CR LF after every line.
#pragma once

#include <string>
#include <vector>

namespace engine {

// encodeLog: the bytes of a ".LOG" file for `lines` (UTF-8 in); characters
// without a CP932 form become "?".
std::string encodeLog(const std::vector<std::string>& lines);

// The history keeps at most this many lines; the oldest go first.
constexpr size_t kHistoryLimit = 30002;

// The archive list keeps at most this many paths.
constexpr size_t kArchiveListLimit = 1000;

} // namespace engine
