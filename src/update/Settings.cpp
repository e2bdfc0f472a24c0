#include "update/Settings.h"

#include "update/LimitRate.h"

#ifndef QUELMOR_SERVER_URL
#define QUELMOR_SERVER_URL ""
#endif
#ifndef QUELMOR_MIRROR_URLS
#define QUELMOR_MIRROR_URLS ""
#endif
#ifndef QUELMOR_PUBLIC_KEY
#define QUELMOR_PUBLIC_KEY ""
#endif
#ifndef QUELMOR_ROOT_KEYS
#define QUELMOR_ROOT_KEYS ""
#endif

namespace modUpdate {
Settings SettingsOf(const QString& ownName, const QStringList& arguments, const QString& limitRate,
                    QString& warning) {
    Settings settings;
    const QString server = QStringLiteral(QUELMOR_SERVER_URL);
    if (!server.isEmpty())
        settings.servers = QStringList{server} +
                           QStringLiteral(QUELMOR_MIRROR_URLS).split(u' ', Qt::SkipEmptyParts);
    settings.publicKey = QStringLiteral(QUELMOR_PUBLIC_KEY);
    settings.rootKeys = QStringLiteral(QUELMOR_ROOT_KEYS).split(u' ', Qt::SkipEmptyParts);
    settings.ownName = ownName;
    settings.repair = arguments.mid(1).contains(QStringLiteral("--repair"));
    // A cap that is not understood is said, and the update runs at full
    // speed: a mistyped shortcut must not keep anyone from playing.
    settings.limitRate = LimitRateOf(arguments, limitRate, warning);
    return settings;
}

} // namespace modUpdate
