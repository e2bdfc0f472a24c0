#include "publish/Versions.h"

// Counts the trailing ASCII digits up by one, carrying leftwards within them.
QString NextFileVersion(const QString& version) {
    qsizetype start = version.size();
    while (start > 0 && version[start - 1] >= u'0' && version[start - 1] <= u'9')
        --start;
    const QString digits = version.sliced(start);
    if (digits.isEmpty() || digits.count(QLatin1Char('9')) == digits.size())
        return version + QLatin1String(FirstFileVersion);
    QString next = version;
    for (qsizetype i = next.size() - 1;; --i) { // a digit other than 9 stops the carry
        if (next[i] == u'9') {
            next[i] = u'0';
        } else {
            next[i] = QChar(next[i].unicode() + 1);
            return next;
        }
    }
}
