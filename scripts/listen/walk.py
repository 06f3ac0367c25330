#!/usr/bin/python3
"""Walks one update through cvf-update with the keyboard alone and prints what was spoken.

Run by scripts/listen.sh, which starts the display, the screen reader with
the capture speech module (capture-module.py), the simulated device and the
tool. This side presses the keys a blind user presses (space on whatever
has the focus, the file name typed into the file dialog and Return) and
waits before each key until the screen reader has finished speaking, and
for the steps that take time until the simulated device has seen them.
Every wait is bounded. Then it prints the transcript: what was spoken, in
order, with the keys between, and what the steps should have said but
did not.

Exit status: 0 the update went through and every expected text was heard,
3 it went through but something was not heard, 1 a step did not happen.
"""

import argparse
import os
import re
import subprocess
import sys
import time

CAPTION = "Corvane Firmware Update"

# What a listener must hear on the way, as phrases of the tool's texts.
EXPECTED = {
    "en": [
        ("the instructions", ["Turn your device to update mode", "Click on the button to load the firmware file"]),
        ("the loaded file", ["compatible fimware file loaded"]),
        ("the file's version", ["V2.4.1"]),
        ("the search", ["Checking COM port COM3"]),
        ("the device found", ["compatible device"]),
        ("the device's version", ["V2.3.9"]),
        ("the question", ["Would you like to execute the update now?"]),
        ("the transfer start", ["Firmware update started"]),
        ("the remaining time", ["Remaining time"]),
        ("the result", ["Firmware update ended", "has been rebooted", "Time for firmware update"]),
        ("the button Load file", ["Load file push button"]),
        ("the button continue", ["continue push button"]),
        ("the button Yes", ["Yes push button"]),
        ("the button close", ["close push button"]),
    ],
    "de": [
        ("the instructions", ["Stellen Sie ihr Gerat auf Firmware Update um",
                              "Klicken Sie auf die Taste um die Firmware Datei zu laden"]),
        ("the loaded file", ["kompatible Firmwaredatei geladen"]),
        ("the file's version", ["V2.4.1"]),
        ("the search", ["Untersuche COM-Port COM3"]),
        ("the device found", ["kompatibles Gerat gefunden"]),
        ("the device's version", ["V2.3.9"]),
        ("the question", ["Mochten Sie das Update nun ausfuhren?"]),
        ("the transfer start", ["Firmware Update gestartet"]),
        ("the remaining time", ["Verbleibende Zeit"]),
        ("the result", ["Firmware Update erfolgreich abgeschlossen", "wurde neu gestartet",
                        "Zeit fur Firmware Update"]),
        ("the button Datei laden", ["Datei laden Druckknopf"]),
        ("the button Weiter", ["Weiter Druckknopf"]),
        ("the button Ja", ["Ja Druckknopf"]),
        ("the button Beenden", ["Beenden Druckknopf"]),
    ],
}


# A walk whose device fails to write its flash: the same up to the
# question, then the failure and the button that repeats the update.
FAILURE = {
    "en": [("the failure", ["Error writing to flash", "Update interrupted", "Click to repeat the update"]),
           ("the button continue, again", ["continue push button"])],
    "de": [("the failure", ["Der Speicher wurde falsch beschrieben", "Das Update wurde abgebrochen",
                            "Klicken um Update zu wiederholen"]),
           ("the button Weiter, again", ["Weiter Druckknopf"])],
}
SUCCESS_ONLY = ("the result", "the button close", "the button Beenden")


def expected(args):
    if not args.flash_error:
        return EXPECTED[args.lang]
    return [e for e in EXPECTED[args.lang] if e[0] not in SUCCESS_ONLY] + FAILURE[args.lang]


class Walk:
    def __init__(self, args):
        self.args = args
        self.scale = args.timeout_scale
        self.actions = []  # (unix time, text)
        self.problems = []

    # -- what has been spoken -------------------------------------------------

    def speech(self):
        """Utterances as dicts, in order: time, kind, text, end (None while speaking), cut."""
        utterances = {}
        order = []
        try:
            with open(self.args.speech, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            return []
        for line in lines:
            fields = line.split("\t")
            if len(fields) < 3:
                continue
            try:
                when = float(fields[0])
            except ValueError:
                continue
            kind, ident = fields[1], fields[2]
            if kind in ("say", "char", "key", "icon"):
                utterances[ident] = {"time": when, "kind": kind,
                                     "text": fields[3] if len(fields) > 3 else "", "end": None, "cut": None}
                order.append(ident)
            elif kind in ("end", "cut") and ident in utterances:
                utterances[ident]["end"] = when
                if kind == "cut" and len(fields) >= 5:
                    utterances[ident]["cut"] = (fields[3], fields[4])
        return [utterances[i] for i in order]

    def wait_quiet(self, quiet=1.5, limit=30.0):
        """Until nothing is being spoken and nothing new came for `quiet` seconds.

        The limit leaves room for a whole step's texts at the silent voice's
        pace (the instructions take about 12 s at 15 characters a second)."""
        deadline = time.monotonic() + limit * self.scale
        last_state = None
        since = time.monotonic()
        while time.monotonic() < deadline:
            spoken = self.speech()
            state = (len(spoken), sum(1 for u in spoken if u["end"] is not None))
            if state != last_state:
                last_state = state
                since = time.monotonic()
            speaking = any(u["end"] is None for u in spoken)
            if not speaking and time.monotonic() - since >= quiet:
                return True
            time.sleep(0.1)
        return False

    def wait_speech(self, count_before, limit):
        """Until something new is spoken."""
        deadline = time.monotonic() + limit * self.scale
        while time.monotonic() < deadline:
            if len(self.speech()) > count_before:
                return True
            time.sleep(0.1)
        return False

    # -- the simulated device and the tool --------------------------------------

    def sim_lines(self):
        try:
            with open(self.args.simlog, encoding="latin-1") as f:
                return f.read().splitlines()
        except OSError:
            return []

    def wait_sim(self, pattern, limit, start=0):
        """Until a line of the simulator's log from line `start` on matches; its index or None."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + limit * self.scale
        while time.monotonic() < deadline:
            lines = self.sim_lines()
            for n in range(start, len(lines)):
                if regex.search(lines[n]):
                    return n
            if not self.app_running():
                return None
            time.sleep(0.1)
        return None

    def app_running(self):
        try:
            with open(f"/proc/{self.args.app_pid}/stat") as f:
                return f.read().split(") ", 1)[1][0] != "Z"
        except (OSError, IndexError):
            return False

    def wait_app_exit(self, limit):
        deadline = time.monotonic() + limit * self.scale
        while time.monotonic() < deadline:
            if not self.app_running():
                return True
            time.sleep(0.1)
        return False

    # -- the display ---------------------------------------------------------------

    def xdotool(self, *args):
        try:
            done = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=10)
        except subprocess.TimeoutExpired:
            return None
        return done.stdout.strip() if done.returncode == 0 else None

    def active_window(self):
        return self.xdotool("getactivewindow")

    def window_name(self, window):
        return self.xdotool("getwindowname", window) if window else None

    def wait_window(self, test, limit):
        deadline = time.monotonic() + limit * self.scale
        while time.monotonic() < deadline:
            window = self.active_window()
            if test(window):
                return window
            time.sleep(0.1)
        return None

    def press(self, key, note):
        self.actions.append((time.time(), f"> {key}   ({note})"))
        self.xdotool("key", "--clearmodifiers", key)

    def type_text(self, text, note):
        self.actions.append((time.time(), f"> types {text}   ({note})"))
        self.typing_from = time.time()
        self.xdotool("type", "--delay", "120", text)

    def note(self, text):
        self.actions.append((time.time(), f"  ({text})"))

    def problem(self, text):
        self.problems.append(text)
        self.note(text)

    # -- the walk ------------------------------------------------------------------------

    def run(self):
        self.typing_from = self.typing_to = 0.0
        self.started = self.args.since or time.time()
        self.actions.append((self.started, "  (the tool starts)"))
        main = self.wait_window(lambda w: self.window_name(w) == CAPTION, 20)
        if main is None:
            self.problem("the window did not become active within 20 s")
            return False
        self.wait_speech(0, 10)
        self.wait_quiet()

        self.press("space", "start")
        self.wait_quiet()

        self.press("space", "Load file")
        before = len(self.speech())
        dialog = self.wait_window(lambda w: w is not None and w != main, 10)
        if dialog is None:
            self.problem("no file dialog became active within 10 s")
        # The key's echo, then the dialog.
        self.wait_speech(before + 1, 8)
        self.wait_quiet()
        self.type_text(os.path.basename(self.args.file), "the file name, in the folder the dialog opens in")
        self.wait_quiet()
        self.typing_to = time.time()
        self.press("Return", "accept the file")
        if dialog is not None:
            deadline = time.monotonic() + 10 * self.scale
            while time.monotonic() < deadline and self.window_name(dialog) is not None:
                time.sleep(0.1)
            if self.window_name(dialog) is not None:
                self.problem("the file dialog was still open 10 s after Return")
        self.wait_quiet(quiet=2.0)

        self.press("space", "continue")
        asked = self.wait_sim(r" RX EAE\|", 40)
        if asked is None:
            self.problem("the device was not asked for its version within 40 s: the search did not run")
            return False
        self.note("the device answered the search")
        self.wait_quiet(quiet=2.0)

        self.press("space", "Yes")
        first = self.wait_sim(r" RX (FW|RST\|)", 10, start=asked + 1)
        if first is None:
            self.problem("neither the transfer nor a restart began within 10 s of the key")
            return False
        if " RX RST|" in self.sim_lines()[first]:
            self.problem('the key answered "No": the device was restarted without an update')
            return False
        self.note("the transfer began")
        if self.args.flash_error:
            failed = self.wait_sim(r" RX DPZ\|", 180, start=first)
            if failed is None:
                self.problem("the device was not told of the failure (DPZ) within 180 s")
                return False
            self.note("the device was told of the failure")
            self.wait_quiet(quiet=2.5)
            # The window closes as its [x] does; nothing runs now.
            self.press("alt+F4", "close the window")
            if not self.wait_app_exit(10):
                self.problem("the tool was still running 10 s after the key")
                return False
            self.note("the tool ended")
            self.wait_quiet(quiet=1.0, limit=10)
            return True
        done = self.wait_sim(r"-- restart", 180, start=first)
        if done is None:
            self.problem("the transfer did not end with a restart within 180 s")
            return False
        self.note("the device restarted")
        self.wait_quiet(quiet=2.5)

        # Orca's command that reads the status bar: Insert and Enter on the
        # number pad, twice.
        asked_at = time.time()
        self.actions.append((asked_at, "> Insert+KP_Enter twice   (Orca: read the status bar)"))
        self.xdotool("key", "--clearmodifiers", "--delay", "80", "Insert+KP_Enter", "Insert+KP_Enter")
        self.wait_quiet(quiet=2.0)
        panes = " ".join(u["text"] for u in self.speech() if u["time"] >= asked_at)
        self.status_bar_heard = all(p in panes for p in ("sample.CVF", "Demo Controller", "COM3"))

        self.press("space", "close")
        if not self.wait_app_exit(10):
            self.problem("the tool was still running 10 s after the key")
            return False
        self.note("the tool ended")
        self.wait_quiet(quiet=1.0, limit=10)
        return True

    # -- the transcript --------------------------------------------------------------------

    def transcript(self, completed):
        spoken = self.speech()
        events = [(a[0], 0, a[1]) for a in self.actions]
        echo = []
        for u in spoken:
            if u["time"] < self.started:
                continue  # Orca's own start-up
            if self.typing_from <= u["time"] < self.typing_to and len(u["text"].split()) <= 2 \
                    and not u["text"].endswith("."):
                echo.append(u["text"])
                continue
            text = u["text"] if u["kind"] == "say" else f"[{u['kind']} {u['text']}]"
            if u["cut"] is not None:
                text += f"   [cut off after {u['cut'][0]} of {u['cut'][1]} s]"
            elif u["end"] is None:
                text += "   [still speaking]"
            events.append((u["time"], 1, text))
        if echo:
            events.append((self.typing_to, 1, "(typing echoed: " + " ".join(echo) + ")"))
        events.sort(key=lambda e: (e[0], e[1]))

        lines = [f"cvf-update heard through Orca: {self.args.wm}, {self.args.lang}",
                 "seconds from the tool's start; '>' a key pressed; '(...)' what the walk saw", ""]
        for when, _, text in events:
            lines.append(f"{when - self.started:6.1f}  {text}")

        heard = " ".join(" ".join(u["text"].split()) for u in spoken if u["time"] >= self.started).lower()
        missing = [label for label, phrases in expected(self.args)
                   if not all(" ".join(p.split()).lower() in heard for p in phrases)]
        if not self.args.flash_error and not getattr(self, "status_bar_heard", False):
            missing.append("the status bar (file, device and port)")
        lines.append("")
        if not completed:
            lines.append("The walk stopped: " + "; ".join(self.problems))
        if missing:
            lines.append("Not heard: " + ", ".join(missing))
        elif completed:
            lines.append("Heard every expected text.")
        return "\n".join(lines) + "\n", missing


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--speech", required=True, help="the capture module's file")
    parser.add_argument("--simlog", required=True, help="the simulated device's frame log")
    parser.add_argument("--app-pid", required=True, type=int)
    parser.add_argument("--file", required=True, help="the firmware file to choose")
    parser.add_argument("--wm", default="metacity")
    parser.add_argument("--lang", default="en", choices=sorted(EXPECTED))
    parser.add_argument("--out", help="also write the transcript here")
    parser.add_argument("--timeout-scale", type=float, default=1.0)
    parser.add_argument("--since", type=float, default=0.0, help="when the tool was started (Unix time)")
    parser.add_argument("--flash-error", action="store_true", help="the device fails to write the fifth line")
    args = parser.parse_args()

    walk = Walk(args)
    completed = walk.run()
    text, missing = walk.transcript(completed)
    sys.stdout.write(text)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
    if not completed:
        return 1
    return 3 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
