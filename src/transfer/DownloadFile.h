#pragma once
#include <QString>

// Fetches ServerUrl + remoteName into localName below the application folder
// (in the sub-folder CurrentFolder when it is set), showing the percentage and
// then "Downloaded <remoteName>!". Does nothing for a blank local name. The
// file is written beside its target and put in place only when complete, so
// the target keeps its old content on any failure. Throws UpdateFailure when
// the transfer fails or the target would lie outside the application folder,
// and ExitRequested when the player clicks "Exit" meanwhile.
void DownloadFile(const QString& remoteName, const QString& localName);

// The whole percentage shown after `received` of `expected` bytes: received
// divided by expected, times 100, rounded down.
int PercentOf(qint64 received, qint64 expected);
