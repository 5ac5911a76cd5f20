// AfxMessageBox: shows a string of the program's string table in a message box captioned with
// the application's title.
#pragma once

#include <string>

#include "platform/win32.h"

// Loads string nID of the program's string table into *pstrText. false when there is none.
bool AfxLoadString(UINT nID, std::string* pstrText);

// Shows string nIDPrompt with buttons and icon nType and returns the button pressed, or 0 when
// the string does not exist (nothing is shown then). nIDHelp is the help context of the box;
// the program has no help file, so it is not used.
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = static_cast<UINT>(-1));
