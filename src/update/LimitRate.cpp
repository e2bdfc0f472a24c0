#include "update/LimitRate.h"

#include <QRegularExpression>
#include <algorithm>
#include <limits>

namespace modUpdate {
std::int64_t ReadSpeed(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^([0-9]+)(?:\\.([0-9]+))?([kKmMgG]?)$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return -1;
    constexpr std::int64_t Largest = std::numeric_limits<std::int64_t>::max();
    const qsizetype power = QStringLiteral(" kmg").indexOf(match.captured(3).toLower());
    const std::int64_t unit = std::int64_t(1) << (10 * std::max<qsizetype>(power, 0));
    bool fits = false;
    const std::int64_t whole = match.captured(1).toLongLong(&fits);
    if (!fits || whole > Largest / unit)
        return -1;
    // Nine digits of the fraction are more than any unit here can tell apart.
    const QString fraction = match.captured(2).left(9);
    std::int64_t scale = 1;
    for (qsizetype i = 0; i < fraction.size(); ++i)
        scale *= 10;
    const std::int64_t part = fraction.isEmpty() ? 0 : fraction.toLongLong() * unit / scale;
    if (whole * unit > Largest - part)
        return -1;
    const std::int64_t speed = whole * unit + part;
    const bool zero =
        whole == 0 && match.captured(2).count(QLatin1Char('0')) == match.captured(2).size();
    return speed == 0 && !zero ? -1 : speed;
}

std::int64_t LimitRateOf(const QStringList& arguments, const QString& environment,
                         QString& warning) {
    QString source = QStringLiteral("QUELMOR_LIMIT_RATE");
    QString given = environment;
    // The last one given counts, as with curl.
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QStringLiteral("--limit-rate")) {
            source = QStringLiteral("--limit-rate");
            // Another option in the place of the speed leaves it missing.
            const QString next = arguments.value(i + 1);
            given = next.startsWith(QStringLiteral("--")) ? QString() : next;
            i += given.isEmpty() ? 0 : 1;
        } else if (arguments[i].startsWith(QStringLiteral("--limit-rate="))) {
            source = QStringLiteral("--limit-rate");
            given = arguments[i].mid(13);
        }
    }
    warning.clear();
    if (source != QStringLiteral("--limit-rate") && given.isEmpty())
        return 0;
    const std::int64_t speed = ReadSpeed(given);
    if (speed >= 0)
        return speed;
    warning = QStringLiteral("%1: \"%2\" is not a speed such as 500k or 2M (bytes per second); "
                             "the update runs without a cap.")
                  .arg(source, given);
    return 0;
}

} // namespace modUpdate
