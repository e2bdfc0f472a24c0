#pragma once

namespace ui {
// The window's two buttons.

// "Exit": ends the updater at once with exit status 0, whatever is in progress.
void Label1_Click();

// "Continue": starts the game "Quelmor.dxe" from the application folder with
// the switch --startedbypatcher and ends the updater; without the game it
// shows "Error starting the game!" and the window stays.
void lblConnect_Click();

} // namespace ui
