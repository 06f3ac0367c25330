#include "app/workflow/StringTable.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <mutex>

namespace {

struct TextEntry {
    int id;
    const char* english;
    const char* german;
};

// German texts are written without umlauts and shown that way.
constexpr TextEntry kTexts[] = {
    {101, "device", "device"},
    {102, "COM", "COM"},
    {103, "firmware file", "firmware file"},
    {104, "start", "Start"},
    {105, "continue", "Weiter"},
    {106, "%s\nUnexpected file format.", "%s\n\nUngultiges Dateiformat."},
    {107, "%s\ncouldn't be opened.", "%s\n\nkonnte nicht geoffnet werden."},
    {108, "Turn your device to update mode", "Stellen Sie ihr Gerat auf Firmware Update um und"},
    {109, "The update will take about 3 to 10 minutes.", "Das Update wird ca. 3-10 Minuten dauern!"},
    {110, "and connect it to your PC.", "verbinden Sie es mit ihrem PC."},
    {111, "Click on the button to load the firmware file", "Klicken Sie auf die Taste um die Firmware Datei zu laden."},
    {112, "Load file", "Datei laden"},
    {113, "File loading.", "Die Datei wird geladen."},
    {114, "Click continue to search for the device.", "Klicken Sie auf Weiter um die Verbindung zum Gerat herzustellen."},
    {115, "%d COM port(s) found", "%d COM-Port(s) gefunden"},
    {116, "There is no COM port available.", "Es ist kein COM Port verfugbar."},
    {117, "Close all programs using the COM port and", "Beenden Sie gegebenfalls andere Programme und"},
    {118, "search again for the device.", "stellen erneut eine Verbindung her."},
    {119, "sec", "Sek."},
    {120, "min", "Min."},
    {121, "h", "Std."},
    {122, "Firmware update started", "Firmware Update gestartet"},
    {123, "Remaining time:", "Verbleibende Zeit:"},
    {124, "transferred", "Ubertragen"},
    {125, "Firmware update ended", "Firmware Update erfolgreich abgeschlossen."},
    {126, "The %s has been rebooted.", "Der %s wurde neu gestartet."},
    {127, "Time for firmware update: %s", "Zeit fur Firmware Update: %s"},
    {333, "wird nicht verwendet", "wird nicht verwendet"},
    {334, "Please wait...", "Bitte warten..."},
    {335, "Searching for the device...", "Das Gerat wird gesucht..."},
    {336, "You tried to end the update prematurely.\nUnfortunately this is not possible.\nPlease be patient.", "Es wurde versucht das Update vorzeitig zu beenden.\nDies ist leider nicht moglich.\nBitte haben Sie noch etwas Geduld."},
    {337, "Checking COM port %s", "Untersuche COM-Port %s"},
    {338, "No device found!", "Es wurde kein Gerat gefunden."},
    {339, "Is your COM port used by another program?", "Ist Ihr COM-Port schon vergeben?"},
    {340, "Is device running in update mode?", "Befindet sich Ihr Gerat im Update Modus?"},
    {341, "Click to search again", "Klicken um Suche zu wiederholen"},
    {342, "Have found a %s compatible device.", "%s kompatibles Gerat gefunden."},
    {343, "update", "Update"},
    {344, "close", "Beenden"},
    {345, "Firmware update is incomplete", "Das Firmware Update wurde abgebrochen."},
    {346, "Was the connection interrupted?", "Wurde die Verbindung unterbrochen?"},
    {347, "Is your device operational?", "Ist ihr Gerat betriebsbereit?"},
    {348, "Click to repeat the update", "Klicken um Update zu wiederholen"},
    {349, "Device found", "Ein Gerat wurde gefunden."},
    {350, "Device not compatible", "Das Gerat ist aber nicht kompatibel zur Firmware."},
    {351, "Firmware update refused", "Firmware Update wird verweigert."},
    {352, " ", " "},
    {353, "Error in the write-read process", "Es ist ein Fehler beim Schreib-Lese Vorgang aufgetreten."},
    {354, "Update interrupted", "Das Update wurde abgebrochen."},
    {355, " ", " "},
    {356, "Click to repeat the update", "Klicken um Update zu wiederholen"},
    {357, "Error writing to flash", "Der Speicher wurde falsch beschrieben."},
    {358, "Update interrupted", "Das Update wurde abgebrochen."},
    {359, " ", " "},
    {360, "Click to repeat the update", "Klicken um Update zu wiederholen"},
    {361, "%s compatible fimware file loaded.", "%s kompatible Firmwaredatei geladen."},
    {362, "Software Version:", "Software Version:"},
    {363, "Firmware Update Tool", "Firmware Update Tool"},
    {364, "Current software version:", "Aktuelle Software Version:"},
    {365, "No version available", "Keine Version vorhanden"},
    {366, "Would you like to execute the update now?", "Mochten Sie das Update nun ausfuhren?"},
    {367, "Yes", "Ja"},
    {368, "No", "Nein"},
    {369, "Click to close the application", "Klicken um Programm zu beenden"},
    {370, "The selected file is faulty!", "Die ausgewahlte Datei ist fehlerhaft!"},
    {371, "Firmware update refused", "Aus Sicherheitsgrunden kann ein Update "},
    {372, " ", "nicht ausgefuhrt werden."},
    {373, "Click the button to load a new file", "Klicken Sie auf die Taste um erneut eine Datei zu laden."},
    // Why no port could be used, when one was refused for lack of permission.
    // A worker thread could not be had (the system's reason follows).
    {375, "The work could not be started: %s", "Der Vorgang konnte nicht gestartet werden: %s"},
    // cvf-flash, the command-line updater: help, refusals, the question,
    // its own ends of a device, the port list.
    {376, "Puts new firmware on devices attached to serial ports: the same checks, search and transfer as cvf-update, without a window.",
     "Spielt neue Firmware auf Gerate an seriellen Schnittstellen: dieselben Prufungen, dieselbe Suche und Ubertragung wie cvf-update, ohne Fenster."},
    {377, "the firmware file (.CVF)", "die Firmware-Datei (.CVF)"},
    {378, "use this port (repeatable): a name as --list shows it (COM3, ttyUSB0) or a device path; without it the listed ports are searched and the first device that answers is taken",
     "diese Schnittstelle verwenden (mehrfach moglich): ein Name, wie ihn --list zeigt (COM3, ttyUSB0), oder ein Geratepfad; ohne sie werden die gelisteten Schnittstellen durchsucht und das erste Gerat genommen, das antwortet"},
    {379, "update every compatible device on the given or listed ports, all at once",
     "jedes kompatible Gerat an den angegebenen oder gelisteten Schnittstellen aktualisieren, alle zugleich"},
    {380, "write without asking", "ohne Ruckfrage schreiben"},
    {381, "check the file, find the device(s) and show their versions; write nothing",
     "die Datei prufen, die Gerate suchen und ihre Versionen zeigen; nichts schreiben"},
    {382, "keep running: search every port that appears and update a compatible device on it; SIGINT or SIGTERM ends once running updates have wound down",
     "weiterlaufen: jede neu erscheinende Schnittstelle durchsuchen und ein kompatibles Gerat daran aktualisieren; SIGINT oder SIGTERM beendet, sobald laufende Updates abgeschlossen sind"},
    {383, "JSON Lines on standard output instead of text", "JSON Lines statt Text auf der Standardausgabe"},
    {384, "list the ports: name, device node, state and, for USB ports, vendor:product, serial number and product name",
     "die Schnittstellen auflisten: Name, Geratedatei, Zustand und bei USB Hersteller:Produkt, Seriennummer und Produktname"},
    {385, "print nothing but errors and failed updates", "nur Fehler und gescheiterte Updates ausgeben"},
    {386, "read the machine's serial ports from DIR instead of /sys (for tests)",
     "die seriellen Schnittstellen des Rechners aus DIR statt /sys lesen (fur Tests)"},
    {387, "show this help and end", "diese Hilfe zeigen und beenden"},
    {388, "show the version and end", "die Version zeigen und beenden"},
    {389, "Exit status: 0 every update done (with --dry-run: every device compatible), 1 usage error or refused, 2 file unreadable or faulty, 3 no port, 4 no device found, 5 device not compatible, 6 update incomplete, 7 error in the write-read process, 8 error writing to flash, 9 fewer devices updated than expected (--expect), 130 ended by a signal.",
     "Ruckgabewert: 0 jedes Update abgeschlossen (mit --dry-run: jedes Gerat kompatibel), 1 Aufruffehler oder abgelehnt, 2 Datei unlesbar oder fehlerhaft, 3 keine Schnittstelle, 4 kein Gerat gefunden, 5 Gerat nicht kompatibel, 6 Update unvollstandig, 7 Fehler beim Schreib-Lese-Vorgang, 8 Fehler beim Schreiben des Speichers, 9 weniger Gerate aktualisiert als erwartet (--expect), 130 durch ein Signal beendet."},
    {390, "%s\nTry 'cvf-flash --help'.", "%s\nMehr mit 'cvf-flash --help'."},
    {391, "A firmware file is needed (or --list)", "Eine Firmware-Datei wird gebraucht (oder --list)"},
    {392, "--list takes no firmware file", "--list nimmt keine Firmware-Datei"},
    {393, "No terminal to ask on: add --yes to write without asking, or --dry-run to write nothing",
     "Kein Terminal fur die Ruckfrage: --yes schreibt ohne Ruckfrage, --dry-run schreibt nichts"},
    {394, "There is no port %s (cvf-flash --list shows the ports)",
     "Es gibt keine Schnittstelle %s (cvf-flash --list zeigt die Schnittstellen)"},
    {395, "%s is used by another program", "%s wird von einem anderen Programm benutzt"},
    {396, " [y/N] ", " [j/N] "},
    {397, "Compatible; nothing was written (dry run)", "Kompatibel; nichts wurde geschrieben (Probelauf)"},
    {398, "Not updated; the device was restarted", "Nicht aktualisiert; das Gerat wurde neu gestartet"},
    {399, "Stopped by a signal", "Durch ein Signal beendet"},
    {400, "Update stopped by a signal; the device was told to restart",
     "Update durch ein Signal abgebrochen; das Gerat wurde neu gestartet"},
    {401, "Ending: running updates finish their current line and restart their device...",
     "Beenden: laufende Updates schliessen ihre Zeile ab und starten ihr Gerat neu..."},
    {402, "Still ending, please wait...", "Wird noch beendet, bitte warten..."},
    {403, "Waiting for ports to appear; Ctrl-C ends.", "Warte auf neue Schnittstellen; Strg-C beendet."},
    {404, "The update process for %s ended unexpectedly", "Der Update-Prozess fur %s endete unerwartet"},
    {405, "port", "Schnittstelle"},
    {406, "device node", "Geratedatei"},
    {407, "state", "Zustand"},
    {408, "USB device", "USB-Gerat"},
    {409, "free", "frei"},
    {410, "busy", "belegt"},
    {411, "no permission", "keine Berechtigung"},
    {412, "missing", "fehlt"},
    {413, "unusable", "unbrauchbar"},
    {414, "No serial port found.", "Keine serielle Schnittstelle gefunden."},
    {415, "Options", "Optionen"},
    {416, "Usage", "Aufruf"},
    {417, "Arguments", "Argumente"},
    {418, "Testing", "Fur Tests"},
    {419, "stop a device process that says nothing for MS milliseconds (default 180000), and kill it if it has not ended after the wind-down limit",
     "einen Geratprozess stoppen, der MS Millisekunden lang nichts meldet (Vorgabe 180000), und ihn abbrechen, wenn er nach der Frist zum Abschliessen nicht beendet ist"},
    // Names that only assistive technology reads.
    {420, "Progress", "Fortschritt"},
    {421, "kill a device process that has not wound down MS milliseconds after it was asked to stop (default 90000)",
     "einen Geratprozess abbrechen, der MS Millisekunden nach der Aufforderung zum Stoppen nicht abgeschlossen hat (Vorgabe 90000)"},
    {422, "append the result of every device to FILE as one JSON line, written and synced before it is shown",
     "das Ergebnis jedes Gerats als eine JSON-Zeile an DATEI anhangen, geschrieben und gesichert, bevor es angezeigt wird"},
    {423, "pass only when at least N devices were updated (with --dry-run: found compatible); exit status 9 otherwise",
     "nur bestehen, wenn mindestens N Gerate aktualisiert wurden (mit --dry-run: kompatibel gefunden); sonst Ruckgabewert 9"},
    {424, "after an incomplete update, an error in the write-read process or an error writing to flash, search the device again on its port and update it, up to N more times",
     "nach einem unvollstandigen Update, einem Fehler beim Schreib-Lese-Vorgang oder beim Schreiben des Speichers das Gerat an seiner Schnittstelle erneut suchen und aktualisieren, bis zu N weitere Male"},
    {425, "update at most N devices at once; the others wait for their turn", "hochstens N Gerate auf einmal aktualisieren; die anderen warten"},
    {426, "only ports whose USB device is VID:PID (hexadecimal) and, when given, has the serial number SERIAL; repeatable",
     "nur Schnittstellen, deren USB-Gerat VID:PID (hexadezimal) ist und, wenn angegeben, die Seriennummer SERIAL hat; mehrfach moglich"},
    {427, "with --all and --watch: every listed port, not only USB adapters and published ports",
     "mit --all und --watch: jede Schnittstelle, nicht nur USB-Adapter und veroffentlichte Schnittstellen"},
    {428, "%s updated, %s failed", "%s aktualisiert, %s gescheitert"},
    {429, "Fewer devices updated than expected: %s of %s", "Weniger Gerate aktualisiert als erwartet: %s von %s"},
    {430, "The record file %s cannot be opened: %s", "Die Protokolldatei %s kann nicht geoffnet werden: %s"},
    {431, "The record could not be written to %s: %s; no further device is started",
     "Der Eintrag konnte nicht in %s geschrieben werden: %s; kein weiteres Gerat wird begonnen"},
    {432, "not a USB identity (VID:PID or VID:PID:SERIAL): %s", "keine USB-Kennung (VID:PID oder VID:PID:SERIAL): %s"},
    {433, "%s running, %s done, %s failed; slowest: %s", "%s laufen, %s fertig, %s gescheitert; langsamstes: %s"},
    {434, "%s is not a serial port (not a terminal)", "%s ist keine serielle Schnittstelle (kein Terminal)"},
    {435, "The port directory %s is not used: %s", "Das Schnittstellenverzeichnis %s wird nicht benutzt: %s"},
    {436, "--record needs the name of a file", "--record braucht den Namen einer Datei"},

    // Why a port is refused, from the device node's group and mode.
    {440, "No permission for %s: join group %s, then log in again",
     "Keine Berechtigung fur %s: Gruppe %s beitreten, neu anmelden"},
    {441, "No permission for %s: ask the administrator for access",
     "Keine Berechtigung fur %s: fragen Sie den Administrator"},
};

const TextEntry* FindEntry(int id)
{
    const auto* end = std::end(kTexts);
    const auto* it = std::lower_bound(std::begin(kTexts), end, id,
                                      [](const TextEntry& e, int value) { return e.id < value; });
    return it != end && it->id == id ? it : nullptr;
}

// -1 not chosen yet, otherwise a Language value.
std::atomic<int> g_language{-1};

std::string_view Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

bool IsGerman(std::string_view locale)
{
    return locale.substr(0, 2) == "de" && (locale.size() == 2 || locale[2] == '_' || locale[2] == '.' ||
                                           locale[2] == '@');
}

bool IsCLocale(std::string_view locale)
{
    return locale == "C" || locale == "POSIX" || locale.substr(0, 2) == "C.";
}

}  // namespace

Language LanguageFromEnvironment()
{
    // The locale of the messages category, as setlocale would resolve it.
    std::string_view locale = Env("LC_ALL");
    if (locale.empty())
        locale = Env("LC_MESSAGES");
    if (locale.empty())
        locale = Env("LANG");

    const std::string_view list = Env("LANGUAGE");
    if (!list.empty() && !locale.empty() && !IsCLocale(locale)) {
        // The first entry for which there is a table decides.
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string_view::npos)
                end = list.size();
            const std::string_view entry = list.substr(start, end - start);
            if (IsGerman(entry))
                return Language::German;
            if (entry.substr(0, 2) == "en" || IsCLocale(entry))
                return Language::English;
            start = end + 1;
        }
        // None of them has a table: the texts as written, as gettext does.
        return Language::English;
    }
    return IsGerman(locale) ? Language::German : Language::English;
}

Language CurrentLanguage()
{
    int value = g_language.load();
    if (value < 0) {
        int expected = -1;
        g_language.compare_exchange_strong(expected, static_cast<int>(LanguageFromEnvironment()));
        value = g_language.load();
    }
    return static_cast<Language>(value);
}

void SetLanguage(Language language)
{
    g_language.store(static_cast<int>(language));
}

std::string Text(int id, Language language)
{
    const TextEntry* entry = FindEntry(id);
    if (!entry)
        return {};
    return language == Language::German ? entry->german : entry->english;
}

std::string Text(int id)
{
    return Text(id, CurrentLanguage());
}

bool HasText(int id)
{
    return FindEntry(id) != nullptr;
}

std::vector<int> TextIds()
{
    std::vector<int> ids;
    ids.reserve(std::size(kTexts));
    for (const TextEntry& entry : kTexts)
        ids.push_back(entry.id);
    return ids;
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args)
{
    std::string out;
    out.reserve(pattern.size() + 32);
    auto next = args.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '%' && i + 1 < pattern.size()) {
            const char kind = pattern[i + 1];
            if (kind == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (kind == 's' || kind == 'd') {
                // An argument ends at its first NUL byte, as a C string does.
                if (next != args.end()) {
                    const std::string_view arg = *next++;
                    out.append(arg.substr(0, arg.find('\0')));
                }
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

std::string FormatText(int id, std::string_view arg)
{
    return FormatText(Text(id), {arg});
}

std::string FormatText(int id, int arg)
{
    return FormatText(Text(id), {std::to_string(arg)});
}
