// The numbers by which commands reach the main window as WM_COMMAND.
#pragma once

enum CommandId : unsigned {
    kCmdExit = 3,
    kCmdAbout = 9,
    kCmdClearChange = 32,
    kCmdLetterA = 65, // 65 to 90: the letter with that character code
    kCmdLetterZ = 90,
    kCmdRead = 1025,
    kCmdWrite = 1026,
    kCmdHiveLoad = 1027,
    kCmdHiveUnload = 1030,
};
