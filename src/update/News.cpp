// Decoding the news text.
#include "update/News.h"

#include <QByteArrayView>
#include <QStringDecoder>

namespace modUpdate {
QString DecodeNews(const QByteArray& bytes) {
    QByteArrayView text(bytes);
    if (text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    // Stateless: a sequence cut off at the end counts as an error instead of
    // being held back for more bytes. Any further mark is kept as text.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString decoded = utf8.decode(text);
    if (!utf8.hasError())
        return decoded;
    return QString::fromLocal8Bit(text);
}

} // namespace modUpdate
