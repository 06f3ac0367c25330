#pragma once
// The IDs of the string tables (StringTable.cpp), by name, and the groups
// of four status lines the workflow shows together. Code and tests name a
// text by its constant, never by its number.

#include <array>

enum StringId : int {
    // Empties a status line (not a text of the tables).
    IDS_NONE = 0,

    // Status-bar panes before anything is known.
    IDS_PANE_DEVICE = 101,        // "device"
    IDS_PANE_PORT = 102,          // "COM"
    IDS_PANE_FILE = 103,          // "firmware file"

    // Captions of the main button.
    IDS_START = 104,              // "start"
    IDS_CONTINUE = 105,           // "continue"
    IDS_LOAD_FILE = 112,          // "Load file"
    IDS_UPDATE = 343,             // "update" (no caption uses it)
    IDS_CLOSE = 344,              // "close"
    IDS_YES = 367,                // "Yes"
    IDS_NO = 368,                 // "No"

    // Message boxes.
    IDS_UNEXPECTED_FORMAT = 106,  // "%s\nUnexpected file format."
    IDS_CANNOT_OPEN = 107,        // "%s\ncouldn't be opened."
    IDS_CLOSE_REFUSED = 336,      // "You tried to end the update prematurely. ..."
    IDS_CANNOT_START = 375,       // "The work could not be started: %s"

    // Instructions.
    IDS_TURN_TO_UPDATE_MODE = 108,  // "Turn your device to update mode"
    IDS_UPDATE_DURATION = 109,      // "The update will take about 3 to 10 minutes."
    IDS_CONNECT_TO_PC = 110,        // "and connect it to your PC."
    IDS_CLICK_TO_LOAD = 111,        // "Click on the button to load the firmware file"

    // Loading.
    IDS_FILE_LOADING = 113,         // "File loading."
    IDS_PLEASE_WAIT = 334,          // "Please wait..."
    IDS_CLICK_CONTINUE = 114,       // "Click continue to search for the device."
    IDS_FILE_LOADED = 361,          // "%s compatible fimware file loaded."
    IDS_SOFTWARE_VERSION = 362,     // "Software Version:"
    IDS_TITLE = 363,                // "Firmware Update Tool"
    IDS_FILE_FAULTY = 370,          // "The selected file is faulty!"
    IDS_FILE_REFUSED = 371,         // "Firmware update refused"
    IDS_FILE_FAULTY_3 = 372,        // " "
    IDS_CLICK_LOAD_NEW = 373,       // "Click the button to load a new file"

    // Ports and the device search.
    IDS_PORTS_FOUND = 115,          // "%d COM port(s) found"
    IDS_NO_PORT = 116,              // "There is no COM port available."
    IDS_CLOSE_PROGRAMS = 117,       // "Close all programs using the COM port and"
    IDS_SEARCH_AGAIN = 118,         // "search again for the device."
    IDS_NO_PERMISSION_JOIN = 440,   // "No permission for %s: join group %s, then log in again"
    IDS_NO_PERMISSION_ASK_ADMIN = 441,  // "No permission for %s: ask the administrator for access"
    IDS_SEARCHING = 335,            // "Searching for the device..."
    IDS_CHECKING_PORT = 337,        // "Checking COM port %s"
    IDS_NO_DEVICE = 338,            // "No device found!"
    IDS_PORT_IN_USE = 339,          // "Is your COM port used by another program?"
    IDS_IN_UPDATE_MODE = 340,       // "Is device running in update mode?"
    IDS_CLICK_SEARCH_AGAIN = 341,   // "Click to search again"
    IDS_COMPATIBLE_FOUND = 342,     // "Have found a %s compatible device."
    IDS_CURRENT_VERSION = 364,      // "Current software version:"
    IDS_NO_VERSION = 365,           // "No version available"
    IDS_UPDATE_QUESTION = 366,      // "Would you like to execute the update now?"
    IDS_CLICK_TO_CLOSE = 369,       // "Click to close the application"
    IDS_DEVICE_FOUND = 349,         // "Device found"
    IDS_NOT_COMPATIBLE = 350,       // "Device not compatible"
    IDS_UPDATE_REFUSED = 351,       // "Firmware update refused"
    IDS_NOT_COMPATIBLE_4 = 352,     // " "

    // The transfer.
    IDS_UPDATE_STARTED = 122,       // "Firmware update started"
    IDS_REMAINING_TIME = 123,       // "Remaining time:"
    IDS_TRANSFERRED = 124,          // "transferred"
    IDS_UPDATE_ENDED = 125,         // "Firmware update ended"
    IDS_DEVICE_REBOOTED = 126,      // "The %s has been rebooted."
    IDS_UPDATE_TIME = 127,          // "Time for firmware update: %s"
    IDS_UNIT_SECONDS = 119,         // "sec"
    IDS_UNIT_MINUTES = 120,         // "min"
    IDS_UNIT_HOURS = 121,           // "h"
    IDS_INCOMPLETE = 345,           // "Firmware update is incomplete"
    IDS_CONNECTION_LOST = 346,      // "Was the connection interrupted?"
    IDS_DEVICE_OPERATIONAL = 347,   // "Is your device operational?"
    IDS_CLICK_REPEAT = 348,         // "Click to repeat the update"
    IDS_WRITE_READ_ERROR = 353,     // "Error in the write-read process"
    IDS_INTERRUPTED_WRITE_READ = 354,  // "Update interrupted"
    IDS_WRITE_READ_ERROR_3 = 355,   // " "
    IDS_CLICK_REPEAT_WRITE_READ = 356, // "Click to repeat the update"
    IDS_FLASH_ERROR = 357,          // "Error writing to flash"
    IDS_INTERRUPTED_FLASH = 358,    // "Update interrupted"
    IDS_FLASH_ERROR_3 = 359,        // " "
    IDS_CLICK_REPEAT_FLASH = 360,   // "Click to repeat the update"

    // The command-line updater (cvf-flash): its help.
    IDS_FLASH_ABOUT = 376,             // "Puts new firmware on devices attached to serial ports: ..."
    IDS_FLASH_OPT_FILE = 377,          // "the firmware file (.CVF)"
    IDS_FLASH_OPT_PORT = 378,          // "use this port (repeatable): ..."
    IDS_FLASH_OPT_ALL = 379,           // "update every compatible device on the given or listed ports, ..."
    IDS_FLASH_OPT_YES = 380,           // "write without asking"
    IDS_FLASH_OPT_DRY_RUN = 381,       // "check the file, find the device(s) and show their versions; ..."
    IDS_FLASH_OPT_WATCH = 382,         // "keep running: search every port that appears ..."
    IDS_FLASH_OPT_JSON = 383,          // "JSON Lines on standard output instead of text"
    IDS_FLASH_OPT_LIST = 384,          // "list the ports: name, device node, state and, ..."
    IDS_FLASH_OPT_QUIET = 385,         // "print nothing but errors and failed updates"
    IDS_FLASH_OPT_SYSFS = 386,         // "read the machine's serial ports from DIR instead of /sys (for tests)"
    IDS_FLASH_OPT_HELP = 387,          // "show this help and end"
    IDS_FLASH_OPT_VERSION = 388,       // "show the version and end"
    IDS_FLASH_EXIT_STATUS = 389,       // "Exit status: 0 every update done ..."
    IDS_FLASH_GROUP_OPTIONS = 415,     // "Options"
    IDS_FLASH_LABEL_USAGE = 416,       // "Usage"
    IDS_FLASH_LABEL_ARGUMENTS = 417,   // "Arguments"
    IDS_FLASH_GROUP_TESTING = 418,     // "Testing"
    IDS_FLASH_OPT_SILENCE_LIMIT = 419,    // "stop a device process that says nothing for MS milliseconds ..."
    IDS_FLASH_OPT_WIND_DOWN_LIMIT = 421,  // "kill a device process that has not wound down MS milliseconds ..."
    // cvf-flash at a production station.
    IDS_FLASH_OPT_RECORD = 422,        // "append the result of every device as one JSON line to FILE ..."
    IDS_FLASH_OPT_EXPECT = 423,        // "pass only when at least N devices were updated ..."
    IDS_FLASH_OPT_RETRY = 424,         // "search and update a device again up to N times ..."
    IDS_FLASH_OPT_JOBS = 425,          // "at most N devices at once; the others wait"
    IDS_FLASH_OPT_MATCH = 426,         // "only ports whose USB device is VID:PID ..."
    IDS_FLASH_OPT_ANY_PORT = 427,      // "with --all and --watch: every port ..."
    IDS_FLASH_SUMMARY = 428,           // "%s updated, %s failed"
    IDS_FLASH_FEWER_THAN_EXPECTED = 429,  // "Fewer devices updated than expected: %s of %s"
    IDS_FLASH_RECORD_CANNOT_OPEN = 430,   // "The record file %s cannot be opened: %s"
    IDS_FLASH_RECORD_FAILED = 431,     // "The record could not be written to %s: %s; ..."
    IDS_FLASH_BAD_MATCH = 432,         // "not a USB identity (VID:PID or VID:PID:SERIAL): %s"
    IDS_FLASH_LIVE_SUMMARY = 433,      // "%s running, %s done, %s failed; slowest: %s"
    IDS_FLASH_NOT_A_TERMINAL = 434,    // "%s is not a serial port (not a terminal)"
    IDS_FLASH_PORT_DIR_REFUSED = 435,  // "The port directory %s is not used: %s"
    IDS_FLASH_RECORD_EMPTY = 436,      // "--record needs the name of a file"
    // cvf-flash: refusals and errors.
    IDS_FLASH_USAGE_ERROR = 390,       // "%s\nTry 'cvf-flash --help'."
    IDS_FLASH_NEED_FILE = 391,         // "A firmware file is needed (or --list)"
    IDS_FLASH_LIST_ALONE = 392,        // "--list takes no firmware file"
    IDS_FLASH_NO_TERMINAL = 393,       // "No terminal to ask on: add --yes ..."
    IDS_FLASH_PORT_UNKNOWN = 394,      // "There is no port %s (cvf-flash --list shows the ports)"
    IDS_FLASH_PORT_BUSY = 395,         // "%s is used by another program"
    IDS_FLASH_PROCESS_LOST = 404,      // "The update process for %s ended unexpectedly"
    // cvf-flash: the question, the ends of a device that the window does
    // not have, and the end of the program.
    IDS_FLASH_ANSWER = 396,            // " [y/N] "
    IDS_FLASH_DRY_RUN_DONE = 397,      // "Compatible; nothing was written (dry run)"
    IDS_FLASH_DECLINED = 398,          // "Not updated; the device was restarted"
    IDS_FLASH_STOPPED = 399,           // "Stopped by a signal"
    IDS_FLASH_TRANSFER_STOPPED = 400,  // "Update stopped by a signal; the device was told to restart"
    IDS_FLASH_ENDING = 401,            // "Ending: running updates finish their current line ..."
    IDS_FLASH_STILL_ENDING = 402,      // "Still ending, please wait..."
    IDS_FLASH_WATCHING = 403,          // "Waiting for ports to appear; Ctrl-C ends."
    // cvf-flash --list.
    IDS_FLASH_COL_PORT = 405,          // "port"
    IDS_FLASH_COL_NODE = 406,          // "device node"
    IDS_FLASH_COL_STATE = 407,         // "state"
    IDS_FLASH_COL_USB = 408,           // "USB device"
    IDS_FLASH_STATE_FREE = 409,        // "free"
    IDS_FLASH_STATE_BUSY = 410,        // "busy"
    IDS_FLASH_STATE_NO_PERMISSION = 411,  // "no permission"
    IDS_FLASH_STATE_MISSING = 412,     // "missing"
    IDS_FLASH_STATE_UNUSABLE = 413,    // "unusable"
    IDS_FLASH_NO_PORTS = 414,          // "No serial port found."

    // What assistive technology calls the percent bar.
    IDS_PROGRESS_NAME = 420,        // "Progress"

    // "wird nicht verwendet" in both tables: as a status-line ID it leaves
    // that line as it is (KEEP_LINE).
    IDS_NOT_USED = 333,
};

// The texts of the command-line updater: never shown in the window. The
// one name for assistive technology (IDS_PROGRESS_NAME) stands among them.
inline constexpr int FLASH_TEXTS_FIRST = IDS_FLASH_ABOUT;
inline constexpr int FLASH_TEXTS_LAST = IDS_FLASH_RECORD_EMPTY;

// SetStatusLines: leave this line as it is.
inline constexpr int KEEP_LINE = IDS_NOT_USED;

// Four status lines, line 1 first: a string ID, IDS_NONE for an empty line
// or KEEP_LINE.
using StatusLines = std::array<int, 4>;

inline constexpr StatusLines LINES_INSTRUCTIONS = {IDS_TURN_TO_UPDATE_MODE, IDS_CONNECT_TO_PC, IDS_UPDATE_DURATION,
                                                   IDS_CLICK_TO_LOAD};
inline constexpr StatusLines LINES_LOADING = {IDS_FILE_LOADING, IDS_PLEASE_WAIT, IDS_NONE, IDS_NONE};
inline constexpr StatusLines LINES_NO_PORT = {IDS_NO_PORT, IDS_CLOSE_PROGRAMS, IDS_SEARCH_AGAIN, IDS_NONE};
inline constexpr StatusLines LINES_TRANSFER_STARTED = {IDS_UPDATE_STARTED, IDS_REMAINING_TIME, IDS_NONE,
                                                       IDS_TRANSFERRED};
// Shown at once before the posted incompatible texts, which replace them.
inline constexpr StatusLines LINES_INCOMPATIBLE_AT_ONCE = {IDS_DEVICE_FOUND, IDS_NOT_COMPATIBLE, IDS_UPDATE_REFUSED,
                                                           IDS_CLICK_TO_LOAD};
inline constexpr StatusLines LINES_EMPTY = {IDS_NONE, IDS_NONE, IDS_NONE, IDS_NONE};
