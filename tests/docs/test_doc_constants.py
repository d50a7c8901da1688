"""The numbers the pages quote are the code's: bounds, sizes, modes and defaults.

Each row names where the number lives (a source file and a constant: an enum or a global's
initialiser, a #define, an `expect PATH` line of app/setup, or a `<Tag>` of a default settings
file), how the page writes it, and the phrase of the page that holds it, with {} where the number
stands. Blanks and line breaks in a page count as one blank, so rewrapping a paragraph changes
nothing. When a constant changes, this fails until the page says the new value; when a page is
reworded, the row's phrase must follow it.
"""
import os
import re
import sys
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# How a page writes a constant's value.
FORMS = {
    "same": lambda v: v,
    "ms as s": lambda v: f"{int(v, 0) / 1000:g}",
    "size as length": lambda v: str(int(v, 0) - 1),   # a buffer's size, its NUL included
    "mode": lambda v: v.rjust(4, "0"),                 # app/setup writes 640 for 0640
}

# (source file, constant, form, page, phrase with {} for the value)
ROWS = [
    ("app/shellcmd.h", "SHELLCMD_RUN_BOUND_S", "same", "docs/testing.md",
     "(`SHELLCMD_RUN_BOUND_S`) | {} s |"),
    ("app/shellcmd.h", "SHELLCMD_RUN_BOUND_S", "same", "docs/INSTALL.md",
     "(`SHELLCMD_RUN_BOUND_S` in `app/shellcmd.h`, {} s)"),
    ("app/shellcmd.h", "SHELLCMD_KILL_GRACE_MS", "ms as s", "docs/testing.md",
     "SIGTERM, SIGKILL {} s later; logged"),
    ("app/serial.h", "SERIAL_QUERY_BOUND_MS", "ms as s", "docs/testing.md",
     "(`SERIAL_QUERY_BOUND_MS`) | {} s |"),
    ("app/serial.h", "SERIAL_RADIO_BOUND_MS", "ms as s", "docs/testing.md",
     "(`SERIAL_RADIO_BOUND_MS`) | {} s:"),
    ("app/serial.h", "READER_HANGUP_WAIT_MS", "ms as s", "docs/testing.md",
     "frame dropped\"; {} s before the port is opened again"),
    ("app/triggers.h", "TRIGGER_FEED_QUEUE_SIZE", "same", "docs/testing.md",
     "(`TRIGGER_FEED_QUEUE_SIZE`) | {} messages"),
    ("sdk/sdksim.cpp", "INPUT_RECORD_SIZE", "same", "docs/testing.md",
     "calls the input-1 subscribers with a {}-byte record"),
    ("sdk/sdksim.cpp", "MAX_RECORD_SIZE", "same", "docs/testing.md",
     "the same with a record of N bytes (0 to {})"),
    ("sdk/tsdk.h", "TSDK_ERR_SETTINGS_BUSY", "same", "docs/testing.md",
     "`settings26` (null, `tsdk_errno` {})"),
    ("app/upload.cpp", "upload_probe_settle_s", "same", "docs/testing.md",
     "| `upload_probe_settle_s` | `app/upload.h` | {} |"),
    ("app/appconfig.h", "CHANNEL_NAME_SIZE", "size as length", "docs/INSTALL.md",
     "a name longer than Ombrelle keeps ({} bytes of UTF-8)"),
    ("app/appconfig.h", "APIKEY_SIZE", "size as length", "docs/INSTALL.md",
     "a key longer than {},"),
    ("app/appconfig.h", "APP_CHANNELS", "same", "docs/INSTALL.md",
     "(channels 1 to {})"),
    ("app/appconfig.h", "APP_CHANNELS", "same", "docs/INSTALL.md",
     "one enabled/name/param triple per channel (up to {})"),
    ("app/setup", "expect $html/configparams.xml", "mode", "docs/INSTALL.md",
     "| `html/configparams.xml` | SAVER:GROUP | {} |"),
    ("app/setup", "expect $html/xivelyconfig.xml", "mode", "docs/INSTALL.md",
     "| `html/xivelyconfig.xml` (API key) | SAVER:GROUP | {} |"),
    ("app/setup", "expect $home/feed_url", "mode", "docs/INSTALL.md",
     "| `feed_url` (may hold an MQTT password) | SAVER:GROUP | {} |"),
    ("app/setup", "expect $home/spool", "mode", "docs/INSTALL.md",
     "| `spool/` (and what `feed_update` puts in it) | USER:GROUP | {} |"),
    ("app/html/xivelyconfig.xml", "<SensorType>", "same", "docs/INSTALL.md",
     "| `SensorType`, `SensorParam` | {} (internal temperature)"),
    ("app/html/xivelyconfig.xml", "<SensorParam>", "same", "docs/INSTALL.md",
     "(internal temperature), {} (low alert threshold, °C)"),
    ("app/html/xivelyconfig.xml", "<IntervalinMin>", "same", "docs/INSTALL.md",
     "| `IntervalinMin`, `ChannelNumber` | {},"),
    ("app/html/xivelyconfig.xml", "<ChannelNumber>", "same", "docs/INSTALL.md",
     "| `IntervalinMin`, `ChannelNumber` | 5, {} |"),
    ("app/html/xivelyconfig.xml", "<Channel1Param>", "same", "docs/INSTALL.md",
     "| channel 1: enabled, name, param | 0, `InternalTemp`, {} (°C) |"),
]

# What a page may hold where a row's {} stands: one word, without the table's or a list's marks.
VALUE = r"([^\s|,;:()]+)"


def constant_value(text, constant):
    """The constant's value as written in the source text, or None when it is not there."""
    if constant.startswith("expect "):
        path = re.escape(constant[len("expect "):])
        m = re.search(r'^\s*expect "' + path + r'" \S+ \S+ (\d+)\s*$', text, re.M)
    elif constant.startswith("<"):
        tag = re.escape(constant[1:-1])
        m = re.search("<" + tag + r">\s*([^<]*?)\s*</" + tag + ">", text)
    else:
        name = re.escape(constant)
        m = (re.search(r"\b" + name + r"\s*=\s*(0x[0-9A-Fa-f]+|\d+)\b", text)
             or re.search(r"^\s*#\s*define\s+" + name + r"\s+(\S+)", text, re.M))
    return m.group(1) if m else None


def squeeze(text):
    return re.sub(r"\s+", " ", text)


def page_value(page_text, phrase):
    """What the page writes where the phrase has {}, or None when the phrase is not on the page."""
    before, after = squeeze(phrase).split("{}")
    m = re.search(re.escape(before) + VALUE + re.escape(after), squeeze(page_text))
    return m.group(1) if m else None


def mismatches(rows, read):
    """One line per row whose page does not say the code's value; read(path) gives a file's text."""
    found = []
    for source, constant, form, page, phrase in rows:
        code = constant_value(read(source), constant)
        if code is None:
            found.append(f"{source}: no {constant} (renamed? update the row)")
            continue
        want = FORMS[form](code)
        said = page_value(read(page), phrase)
        if said is None:
            found.append(f"{page}: the phrase {phrase!r} is gone (reworded? update the row)")
        elif said != want:
            found.append(f"{page}: says {said} in {phrase!r}, but {constant} of {source} gives {want}")
    return found


def read_tree_file(path):
    with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
        return f.read()


class DocConstants(unittest.TestCase):
    def test_every_quoted_number_is_the_code_constant(self):
        self.assertEqual(mismatches(ROWS, read_tree_file), [])

    def test_a_page_that_drifted_or_lost_its_phrase_is_named(self):
        files = {
            "a.h": "enum { BOUND_MS = 2500, SIZE = 32 };\n#define NAME 7\n",
            "setup": '    expect "$home/spool" d "$u:$g" 750\n',
            "page.md": "waits 3 s at most; names of\n31 bytes; mode | 0750 |; seven: 7.\n",
        }
        rows = [
            ("a.h", "BOUND_MS", "ms as s", "page.md", "waits {} s at most"),
            ("a.h", "SIZE", "size as length", "page.md", "names of {} bytes"),
            ("setup", "expect $home/spool", "mode", "page.md", "mode | {} |"),
            ("a.h", "NAME", "same", "page.md", "seven: {}."),
            ("a.h", "GONE", "same", "page.md", "seven: {}."),
            ("a.h", "SIZE", "same", "page.md", "no such words {}"),
        ]
        found = mismatches(rows, files.__getitem__)
        self.assertEqual(len(found), 3, found)
        self.assertIn("says 3 in", found[0])
        self.assertIn("gives 2.5", found[0])
        self.assertIn("no GONE", found[1])
        self.assertIn("is gone", found[2])

    def test_each_phrase_has_one_place_for_its_number(self):
        for row in ROWS:
            self.assertEqual(row[4].count("{}"), 1, row)
            self.assertIn(row[2], FORMS, row)


if __name__ == "__main__":
    sys.exit(unittest.main())
