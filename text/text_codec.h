// Text conversion between UTF-8 (topology files, the console), UTF-16 (the hub driver's name
// replies, the wide Windows calls) and an ANSI code page (every text the access layer hands
// on). Windows builds convert code pages with the system's own tables; other builds use iconv
// ("CP936", "CP1252", ...).
// Code page 65001 is UTF-8 everywhere and is handled here, not by the system.
//
// None of these throws for bad input: what cannot be decoded or encoded is replaced, so any
// text the platform returns can be shown.
#pragma once

#include <string>
#include <string_view>

namespace keldar {

// Whether the code page can be converted on this build (936, 1252, 437, 65001, ...).
bool IsSupportedCodePage(unsigned codePage);

// Whether the code page is one of the Windows ANSI and OEM code pages this build is made to
// convert (with iconv: when glibc's converter for it is installed). A code page that is known
// but not supported lacks its converter; one that is not known is no code page to convert.
bool IsKnownCodePage(unsigned codePage);

// Why the code page cannot be converted here, in one sentence that names what is missing (for
// iconv: glibc's converter modules, which a statically linked program loads at run time);
// empty when it can.
std::string MissingConverter(unsigned codePage);

// ANSI text to UTF-8. Each byte that does not start a valid character of the code page (a GBK
// lead byte without its trail byte, say) becomes one U+FFFD. With an unsupported code page,
// ASCII passes and every other byte becomes U+FFFD.
std::string AnsiToUtf8(std::string_view ansi, unsigned codePage);

// ANSI text to UTF-16, as the wide Windows calls (MessageBoxW, WriteConsoleW) take it: decoded
// as AnsiToUtf8 decodes it, so a text shows the same characters in a window as on a console.
std::u16string AnsiToUtf16(std::string_view ansi, unsigned codePage);

// UTF-8 text to ANSI. A character the code page lacks becomes "?", and so does each byte of
// invalid UTF-8.
std::string Utf8ToAnsi(std::string_view utf8, unsigned codePage);

// UTF-16 text to ANSI, as the hub driver's names reach the access layer. A character the code
// page lacks, or an unpaired surrogate, becomes "?"; *replaced (when given) tells whether that
// happened. 0 units are converted like any other (to a 0 byte).
std::string Utf16ToCodePage(std::u16string_view utf16, unsigned codePage,
                            bool* replaced = nullptr);

// UTF-16 and UTF-8 text to ANSI as Windows converts where the caller asks for nothing else
// (WideCharToMultiByte with flags 0, the ANSI registry and SetupAPI reads): a character the
// code page lacks becomes its best fit, a likeness the code page has, where Microsoft's table
// gives one (1252: Ł to L, ő to o, − to -), else "?", which alone sets *replaced. Only 1252's
// table is held; other code pages convert as Utf16ToCodePage and Utf8ToAnsi do.
std::string Utf16ToCodePageBestFit(std::u16string_view utf16, unsigned codePage,
                                   bool* replaced = nullptr);
std::string Utf8ToAnsiBestFit(std::string_view utf8, unsigned codePage);

// Valid UTF-8: each byte of invalid UTF-8 becomes one U+FFFD, the rest is kept.
std::string CleanUtf8(std::string_view text);

// UTF-8 to UTF-16 and back. Each byte of invalid UTF-8 (overlong forms and encoded surrogates
// included) becomes one U+FFFD; so does an unpaired surrogate on the way back.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace keldar
