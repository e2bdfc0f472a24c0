#pragma once
// The ways a run ends early: a failure of the update, the player's "Exit"
// click, another updater already running. They travel as exceptions, so every
// file being written is cleaned up on the way out.

#include <QString>
#include <stdexcept>

// A failure of the update: the installed game is left as it was. Its message
// says in full what failed and why; its brief says it in a few words, for the
// second status line.
class UpdateFailure : public std::runtime_error {
  public:
    UpdateFailure(const QString& message, const QString& brief);
    QString message() const { return message_; }
    QString brief() const { return brief_; }

  private:
    QString message_;
    QString brief_;
};

// Thrown from the event pump once the player has clicked "Exit" while the
// update runs; main() catches it and ends with exit status 0.
struct ExitRequested {};

// Thrown when another updater runs in the same game folder; main() says so
// and ends with exit status 1 without touching anything.
struct AlreadyRunning {};

// Ends the update with the given message and brief ("The update could not be
// installed." when none is given). Always throws UpdateFailure.
[[noreturn]] void Fail(const QString& message, const QString& brief = QString());
