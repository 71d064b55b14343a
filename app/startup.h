#pragma once

class ServerConfig;

// Builds the window hidden, asks the user to accept the start-up notice and, on Yes, shows the
// window in the Fusion style and runs the event loop. Returns the exit status: 0 when the
// notice is declined, else the event loop's result. Needs a QApplication.
int runPlayer(const ServerConfig &servers);

// The start-up notice's text.
const char *noticeText();
