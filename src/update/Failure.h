#pragma once
// How failures travel: a failure that ends the update and the player's "Exit"
// click as exceptions, so every file being written is cleaned up on the way
// out; every other step that can fail returns a Result its caller must look at.

#include <QString>
#include <stdexcept>

namespace modUpdate {
// What a player is told about a failure, in words without hashes, key ids or
// library messages: what happened, short enough for the second status line,
// and what to do about it.
struct ForPlayer {
    QString what;
    QString todo;

    // Both as one text, for the error box.
    QString text() const { return what + u' ' + todo; }

    // The failures a player meets, each with its advice.
    static ForPlayer Unknown();
    static ForPlayer ServerBroken();
    static ForPlayer ServerBusy();
    static ForPlayer ProxyLogin();
    static ForPlayer ConnectionLost();
    static ForPlayer Untrusted();
    static ForPlayer DamagedFile();
    static ForPlayer ListBroken();
    static ForPlayer NotAnUpdate();
    static ForPlayer OlderRelease();
    static ForPlayer NotSigned();
    static ForPlayer OutOfDate();
    static ForPlayer ClockWrong();
    static ForPlayer Elsewhere();
    static ForPlayer NoSpace(const QString& needed);
    static ForPlayer NotWritable();
    static ForPlayer InTheWay();
    static ForPlayer ChangedOnDisk();
    static ForPlayer BuiltWrongly();
};

// A failure of the update: the installed game is left as it was. Its message
// says in full what failed and why (hashes, key ids, the server's and the
// libraries' words), for standard error and the box's details; the player's
// text says it for people.
class UpdateFailure : public std::runtime_error {
  public:
    UpdateFailure(const QString& message, const ForPlayer& player);
    QString message() const { return message_; }
    // What happened, in a few words, for the second status line.
    QString brief() const { return player_.what; }
    const ForPlayer& player() const { return player_; }

  private:
    QString message_;
    ForPlayer player_;
};

// Thrown from the event pump once the player has clicked "Exit" while the
// update runs; main() catches it and ends with exit status 0.
struct ExitRequested {};

// What a step that can fail came to: done, or failed and why. Every caller
// has to look at it (the compiler says so when one does not).
class [[nodiscard]] Result {
  public:
    // Done.
    Result() = default;
    // Failed, for the reason why (in words for the details of a failure).
    static Result Failed(const QString& why) {
        Result result;
        result.failed_ = true;
        result.why_ = why;
        return result;
    }
    // True when the step was done.
    explicit operator bool() const { return !failed_; }
    // Why it failed; "" when it was done.
    const QString& why() const { return why_; }

  private:
    bool failed_ = false;
    QString why_;
};

// Ends the update with the given message, and the player's text (Unknown()
// when none is given). Always throws UpdateFailure.
[[noreturn]] void Fail(const QString& message, const ForPlayer& player = ForPlayer::Unknown());

} // namespace modUpdate
