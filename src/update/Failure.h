#pragma once
// The one way a run ends early: a failure with a message for the player, or
// the player's "Exit" click. Both travel as exceptions up to main(), so every
// file being written is cleaned up on the way out.

#include <QString>
#include <stdexcept>

// A failure that ends the updater with exit status 1. Its message says what
// failed and why, in words a player understands.
class UpdateFailure : public std::runtime_error {
  public:
    explicit UpdateFailure(const QString& message);
    QString message() const { return message_; }

  private:
    QString message_;
};

// Thrown from the event pump once the player has clicked "Exit" while the
// update runs; main() catches it and ends with exit status 0.
struct ExitRequested {};

// Ends the run with the given message. Always throws UpdateFailure.
[[noreturn]] void Fail(const QString& message);
