#pragma once
// The news text the server offers at its base URL.

#include <QByteArray>
#include <QString>

namespace modUpdate {
// The news bytes as text: UTF-8 when they are valid UTF-8, else the local 8-bit
// encoding (a Windows code page, UTF-8 on Linux). A leading UTF-8 byte-order
// mark is dropped. Never fails; bytes no encoding knows become U+FFFD.
[[nodiscard]] QString DecodeNews(const QByteArray& bytes);

} // namespace modUpdate
