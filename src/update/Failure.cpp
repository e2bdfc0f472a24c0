#include "update/Failure.h"

namespace modUpdate {
namespace {

// Advice shared by several failures (functions: other files' constants are
// made of them before main()).
QString Later() {
    return QStringLiteral("Try again later; if it happens again, tell the studio.");
}
QString Studio() {
    return QStringLiteral("Nothing was changed. Please tell the studio.");
}

} // namespace

ForPlayer ForPlayer::Unknown() {
    return {QStringLiteral("The update could not be installed."), Later()};
}
ForPlayer ForPlayer::ServerBroken() {
    return {QStringLiteral("The update server is not working properly."), Later()};
}
ForPlayer ForPlayer::ServerBusy() {
    return {QStringLiteral("The update server is busy."),
            QStringLiteral("Try again in a few minutes.")};
}
ForPlayer ForPlayer::ProxyLogin() {
    return {QStringLiteral("The network's proxy refused the login."),
            QStringLiteral("Check the proxy's user name and password, or ask the network's "
                           "administrator.")};
}
ForPlayer ForPlayer::ConnectionLost() {
    return {QStringLiteral("The connection to the update server broke off."),
            QStringLiteral("Check your internet connection and try again; what arrived is kept.")};
}
ForPlayer ForPlayer::Untrusted() {
    return {QStringLiteral("The update server's certificate is not trusted."),
            QStringLiteral("Check the date and time of this computer, or tell the studio.")};
}
ForPlayer ForPlayer::DamagedFile() {
    return {QStringLiteral("The update server sent a damaged file."), Later()};
}
ForPlayer ForPlayer::ListBroken() {
    return {QStringLiteral("The update's list of files is broken."), Studio()};
}
ForPlayer ForPlayer::NotAnUpdate() {
    return {QStringLiteral("The update server sent no proper update."),
            QStringLiteral("If your network asks you to log in, do so; else try again later.")};
}
ForPlayer ForPlayer::OlderRelease() {
    return {QStringLiteral("The server offers an older release."), Later()};
}
ForPlayer ForPlayer::NotSigned() {
    return {QStringLiteral("The update is not signed by the studio."),
            QStringLiteral("Nothing was installed. Try again later; if it happens again, tell "
                           "the studio.")};
}
ForPlayer ForPlayer::OutOfDate() {
    return {QStringLiteral("The update server's release is out of date."),
            QStringLiteral("You can still play. If this computer's date or time is wrong, set it "
                           "right; else try again later.")};
}
ForPlayer ForPlayer::ClockWrong() {
    return {QStringLiteral("This computer's clock seems to be wrong."),
            QStringLiteral("You can still play. Set this computer's date and time right, then "
                           "start again.")};
}
ForPlayer ForPlayer::Elsewhere() {
    return {QStringLiteral("The update names a place it may not write."), Studio()};
}
ForPlayer ForPlayer::NoSpace(const QString& needed) {
    return {QStringLiteral("Not enough free space on the disk."),
            QStringLiteral("Free %1 on the game's disk, then start again.").arg(needed)};
}
ForPlayer ForPlayer::NotWritable() {
    return {QStringLiteral("The game folder could not be written."),
            QStringLiteral("Close the game, make sure the disk is not full and you may write to "
                           "the game's folder, then try again.")};
}
ForPlayer ForPlayer::InTheWay() {
    return {QStringLiteral("Something in the game folder is in the way."),
            QStringLiteral("Repair or reinstall the game; if it happens again, tell the studio.")};
}
ForPlayer ForPlayer::ChangedOnDisk() {
    return {QStringLiteral("A file changed on the disk during the update."),
            QStringLiteral("Start the updater again.")};
}
ForPlayer ForPlayer::BuiltWrongly() {
    return {QStringLiteral("This updater was built wrongly."),
            QStringLiteral("Ask the studio for a proper copy.")};
}

UpdateFailure::UpdateFailure(const QString& message, const ForPlayer& player)
    : std::runtime_error(message.toStdString()), message_(message), player_(player) {}

void Fail(const QString& message, const ForPlayer& player) {
    throw UpdateFailure(message, player);
}

} // namespace modUpdate
