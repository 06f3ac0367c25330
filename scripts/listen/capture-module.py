#!/usr/bin/python3
"""A silent speech-dispatcher output module that writes what it is asked to say.

speech-dispatcher starts it with the path of its configuration file, which
holds two settings of its own:

    CaptureFile /path/to/speech.tsv
    CharsPerSecond 15

Each message becomes one line of CaptureFile, tab-separated:

    <unix time>  say|char|key|icon  <id>  <text>

and when it is over, one of

    <unix time>  end  <id>
    <unix time>  cut  <id>  <seconds spoken>  <seconds it would have taken>

A message "takes" as long as a voice speaking CharsPerSecond characters a
second would (0: no time at all), so a message that the screen reader or
speech-dispatcher interrupts is marked "cut", as a listener would have
heard only its beginning. Nothing is played.
"""

import html
import re
import sys
import threading
import time

TAG = re.compile(r"<[^>]*>")


class Capture:
    def __init__(self, path, cps):
        self.out = open(path, "a", encoding="utf-8", buffering=1)
        self.cps = cps
        self.lock = threading.Lock()  # one writer on stdout and the file at a time
        self.current = None  # (id, start, duration, timer)
        self.next_id = 1

    def reply(self, *lines):
        with self.lock:
            for line in lines:
                sys.stdout.write(line + "\n")
            sys.stdout.flush()

    def record(self, *fields):
        with self.lock:
            self.out.write("\t".join(str(f) for f in fields) + "\n")

    def speak(self, kind, text):
        self.stop(notify=False)
        if kind == "say":
            text = html.unescape(TAG.sub("", text))
        text = " ".join(text.split())
        ident = self.next_id
        self.next_id += 1
        duration = 0.0
        if self.cps > 0:
            duration = 0.15 + len(text) / self.cps
        self.record(f"{time.time():.3f}", kind, ident, text)
        self.reply("200 OK SPEAKING", "701 BEGIN")
        timer = threading.Timer(duration, self.finish, args=(ident,))
        with self.lock:
            self.current = (ident, time.monotonic(), duration, timer)
        timer.start()

    def finish(self, ident):
        with self.lock:
            if self.current is None or self.current[0] != ident:
                return
            self.current = None
            self.out.write(f"{time.time():.3f}\tend\t{ident}\n")
            sys.stdout.write("702 END\n")
            sys.stdout.flush()

    def stop(self, notify=True):
        with self.lock:
            if self.current is None:
                return
            ident, start, duration, timer = self.current
            self.current = None
            timer.cancel()
            spoken = time.monotonic() - start
            self.out.write(f"{time.time():.3f}\tcut\t{ident}\t{spoken:.2f}\t{duration:.2f}\n")
            if notify:
                sys.stdout.write("703 STOP\n")
                sys.stdout.flush()


def read_block(stream):
    """The lines up to a line holding a single dot (a leading dot doubled)."""
    lines = []
    for line in stream:
        line = line.rstrip("\n")
        if line == ".":
            break
        lines.append(line[1:] if line.startswith("..") else line)
    return lines


def main():
    settings = {}
    if len(sys.argv) > 1:
        try:
            with open(sys.argv[1], encoding="utf-8") as conf:
                for line in conf:
                    parts = line.split(None, 1)
                    if len(parts) == 2 and not parts[0].startswith("#"):
                        settings[parts[0]] = parts[1].strip().strip('"')
        except OSError:
            pass
    path = settings.get("CaptureFile")
    if not path:
        sys.stdout.write("399-no CaptureFile in the configuration\n399 ERR CANT INIT MODULE\n")
        sys.stdout.flush()
        return 1
    try:
        cps = float(settings.get("CharsPerSecond", "15"))
    except ValueError:
        cps = 15.0
    capture = Capture(path, max(cps, 0.0))

    kinds = {"SPEAK": "say", "CHAR": "char", "KEY": "key", "SOUND_ICON": "icon"}
    stdin = sys.stdin
    for line in stdin:
        command = line.strip()
        if command == "INIT":
            capture.reply("299-capture module ready", "299 OK LOADED SUCCESSFULLY")
        elif command == "AUDIO":
            capture.reply("207 OK RECEIVING AUDIO SETTINGS")
            read_block(stdin)
            capture.reply("203 OK AUDIO INITIALIZED")
        elif command == "LOGLEVEL":
            capture.reply("207 OK RECEIVING LOGLEVEL SETTINGS")
            read_block(stdin)
            capture.reply("203 OK LOGLEVEL SET")
        elif command == "SET":
            capture.reply("203 OK RECEIVING SETTINGS")
            read_block(stdin)
            capture.reply("203 OK SETTINGS RECEIVED")
        elif command == "LIST VOICES":
            capture.reply("200-capture\ten\tnone", "200-capture\tde\tnone", "200 OK VOICE LIST SENT")
        elif command in kinds:
            capture.reply("202 OK RECEIVING MESSAGE")
            capture.speak(kinds[command], "\n".join(read_block(stdin)))
        elif command in ("STOP", "PAUSE"):
            capture.stop()
        elif command == "QUIT":
            capture.stop()
            capture.reply("210 OK QUIT")
            break
        elif command.startswith("DEBUG"):
            capture.reply("200 OK DEBUGGING")
        else:
            capture.reply("300 ERR UNKNOWN COMMAND")
    return 0


if __name__ == "__main__":
    sys.exit(main())
