// Case folding of code points on POSIX systems: the C library's Unicode case tables.
#include "dialect.h"

#include <locale.h>
#include <wctype.h>

namespace platform::dialect {

namespace {

// The tables of the C.UTF-8 locale, whatever locale the program runs in;
// given back when the program or the module that holds them ends.
class UnicodeCase {
public:
    UnicodeCase()
        : m_locale(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr)))
    {
        if (!m_locale)
            m_locale = ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }
    ~UnicodeCase()
    {
        if (m_locale)
            ::freelocale(m_locale);
    }
    UnicodeCase(const UnicodeCase&) = delete;
    UnicodeCase& operator=(const UnicodeCase&) = delete;
    locale_t locale() const { return m_locale; }

private:
    locale_t m_locale;
};

locale_t unicodeCase()
{
    static const UnicodeCase tables;
    return tables.locale();
}

} // namespace

char32_t foldedCase(char32_t codePoint)
{
    const locale_t locale = unicodeCase();
    const auto wide = static_cast<wint_t>(codePoint);
    return static_cast<char32_t>(locale ? ::towlower_l(::towupper_l(wide, locale), locale) : wide);
}

} // namespace platform::dialect
