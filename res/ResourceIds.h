#pragma once
// IDs of the bitmaps and the icon compiled in through cvf.qrc: a bitmap is
// ":/bitmap/<ID>", the icon ":/icon/<ID>/<size>".

enum ResourceId : int {
    IDI_MAIN = 128,           // the program's icon (16, 32, 48 and 256 pixels)
    IDB_BUTTON_MASK = 147,    // shape of the buttons: black inside, white outside
    IDB_BACKDROP = 163,       // the main window's backdrop
    IDB_BUTTON = 164,         // a button's face
    IDB_BUTTON_HOVER = 165,   // under the mouse, and with the focus
    IDB_BUTTON_PRESSED = 166, // held down
};
