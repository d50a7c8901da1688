/*
 * settings.js - the settings page: reads Ombrelle's two configuration files
 * (and the feed endpoint) the way Ombrelle reads them, shows what it takes,
 * refuses what it would cut or reject, and writes the files back in
 * Ombrelle's positional order. Talks to the camera only through
 * OmbrellePlatform (platform.js).
 *
 * Ombrelle reads by position and never looks at tag names, and its XML reader
 * keeps texts as written (no entity decoding, no trimming). So this page
 * carries its own copy of that reader, byte for byte, instead of the
 * browser's XML parser.
 */
"use strict";

(function () {
  /* ---- what Ombrelle reads: its limits ---- */
  var TAG_MAX = 63;           /* a tag from "<" to ">" inclusive */
  var NAME_MAX = 63;          /* an element's name, bytes */
  var VALUE_MAX = 255;        /* an element's text, bytes; longer is cut */
  var MAX_CHILDREN = 64;
  var MAX_DEPTH = 32;
  var MAX_NODES = 1024;
  var FILE_MAX = 1024 * 1024; /* larger files are refused */
  var NAME_BYTES = 31;        /* channel names, feed identifier */
  var KEY_BYTES = 127;        /* API key */
  var URL_BYTES = 255;        /* the endpoint line; feed_update reads one line */
  var MASK = "***";           /* stands for the endpoint's stored password */
  var CHANNELS = 8;
  var INT32_MIN = -2147483648;
  var INT32_MAX = 2147483647;
  var INTERVAL_MAX = Math.floor(INT32_MAX / 60); /* longer periods are clamped */

  var LT = 0x3C, GT = 0x3E, SLASH = 0x2F, SPACE = 0x20;
  var utf8 = new TextEncoder();
  var fromUtf8 = new TextDecoder();

  /* ---- the fields: position, kind, range and help, one table for reading, checking and writing ---- */
  var FLAG_HELP = "Off or on (0 or 1 in the file). Any other value: Ombrelle uses 0, off.";
  var NAME_HELP = "1 to 31 bytes; words apart by single blanks, none of < > &.";
  var INT32 = { min: INT32_MIN, max: INT32_MAX };

  function flag(id, group, label, help) {
    return { id: id, group: group, kind: "flag", label: label, help: help + " " + FLAG_HELP };
  }
  function name(id, group, label, help) {
    return { id: id, group: group, kind: "text", words: true, bytes: NAME_BYTES, label: label, help: help + " " + NAME_HELP };
  }

  var CONFIG = [
    flag("Input1Enabled", "reports", "Report input 1", "Report each change of the camera's input 1."),
    name("Input1Name", "reports", "Input 1 feed channel", "Feed channel that receives input 1 changes."),
    flag("MotionDetectionEnabled", "reports", "Report motion", "Report motion detection."),
    name("MotionDetectionName", "reports", "Motion feed channel", "Feed channel that receives motion changes."),
    flag("DayNightEnabled", "reports", "Report day/night", "Report the day/night switch."),
    name("DayNightName", "reports", "Day/night feed channel", "Feed channel that receives day/night changes."),
    flag("RS485Enabled", "reports", "RS-485 report",
         "Reserved: the camera has no RS-485 trigger; when on, Ombrelle logs that its subscription failed."),
    flag("XivelyEnabled", "feed", "Feed upload",
         "Uploads trigger messages and sensor channels. Off: Ombrelle reads neither the feed file nor the channel names above."),
    flag("AppEnabled", "events", "Camera application events",
         "Sends a camera application event for each trigger and for each channel value that jumps by more than 500."),
    { id: "Ext_thread", group: "sensor", kind: "int", range: INT32, label: "RS-485 reader toggle",
      help: "An odd number: each apply starts the RS-485 record reader if it is stopped and stops it if it runs. " +
            "An even number leaves it as it is. Any whole number from " + INT32_MIN + " to " + INT32_MAX + "." }
  ];

  var FEED = [
    { id: "Apikey", group: "feed", kind: "text", secret: true, bytes: KEY_BYTES, label: "API key",
      help: "Key of the feed. 1 to 127 bytes; no blanks, none of < > & \" \\. The stored key is never shown: " +
            "leave the field empty to keep it, or type a new one." },
    { id: "FeedID", group: "feed", kind: "feedid", bytes: NAME_BYTES, label: "Feed identifier",
      help: "1 to 31 characters: letters, digits and . _ ~ -" },
    { id: "SensorType", group: "sensor", kind: "choice", label: "Sensor type",
      choices: ["Radio sensor module", "RS-485 sensor at an address", "Internal temperature (camera's LM73)",
                "Record frames pushed by an RS-485 peer"],
      help: "Any other type in the file: Ombrelle stops applying the feed settings and keeps its upload timer." },
    { id: "SensorParam", group: "sensor", kind: "int", range: INT32, label: "Sensor parameter",
      help: "Type 1: the sensor's RS-485 address (its low byte, 0 to 255). Type 2: the heater's low alert " +
            "threshold in °C (the high one is 5 °C above). Not used by types 0 and 3." },
    { id: "IntervalinMin", group: "sensor", kind: "int", unit: "minutes", range: { min: 0, max: INTERVAL_MAX },
      fallback: 5, label: "Upload interval",
      help: "0 to " + INTERVAL_MAX + " minutes; 0 samples and uploads every second. Negative: Ombrelle uses 5." },
    { id: "ChannelNumber", group: "channels", kind: "int", range: { min: 1, max: CHANNELS }, fallback: CHANNELS,
      label: "Channels in use",
      help: "1 to 8: Ombrelle reads and handles the first this many channels below. Outside 1 to 8: " +
            "Ombrelle uses 8; from 0 or less it reads no channel and keeps the channel settings it had." }
  ];
  for (var k = 1; k <= CHANNELS; k++) {
    FEED.push({ id: "Channel" + k + "Enabled", group: "channels", kind: "nonzero", channel: k,
                label: "Channel " + k + " upload" });
    FEED.push({ id: "Channel" + k + "Name", group: "channels", kind: "text", words: true, bytes: NAME_BYTES, channel: k,
                label: "Channel " + k + " name" });
    FEED.push({ id: "Channel" + k + "Param", group: "channels", kind: "int", range: INT32, channel: k,
                label: "Channel " + k + " parameter" });
  }

  var ENDPOINT = { id: "Endpoint", group: "feed", kind: "url", label: "Feed endpoint",
    help: "Base URL of the feed service: http://, https:// or mqtt:// (TLS to a broker goes through a local bridge). Empty: https://api.xively.com/v2. " +
          "Kept in the file feed_url beside feed_update; FEED_API_URL in Ombrelle's environment overrides it. " +
          "A stored password shows as " + MASK + " and is kept while " + MASK + " stays in its place." };

  var FILES = {
    "configparams.xml": { element: "ConfigParams", fields: CONFIG },
    "xivelyconfig.xml": { element: "XivelyConfigParams", fields: FEED }
  };
  CONFIG.forEach(function (f, i) { f.position = i + 1; });
  FEED.forEach(function (f, i) { f.position = i + 1; });

  /* ---- Ombrelle's XML reader, on bytes ---- */
  function text(bytes, max) {
    return fromUtf8.decode(bytes.subarray(0, Math.min(bytes.length, max)));
  }

  function tagEnd(b, lt) {
    for (var i = 1; i < TAG_MAX && lt + i < b.length; i++)
      if (b[lt + i] === GT)
        return lt + i;
    return -1;
  }

  function onlyBlanks(b, from, to) {
    for (var i = from; i < to; i++)
      if (b[i] > SPACE)
        return false;
    return true;
  }

  /* An empty-element tag's name: up to the first blank if it holds one, else up to "/". */
  function emptyTagName(b, lt, gt) {
    var inner = b.subarray(lt + 1, gt);
    var stop = inner.indexOf(SPACE) >= 0 ? SPACE : SLASH;
    return text(inner.subarray(0, inner.indexOf(stop)), NAME_MAX);
  }

  /* The first open element at `level` (and of `name`, when given), in pre-order. */
  function findOpen(node, level, nodeName) {
    if (node.level === level && !node.closed && (nodeName === undefined || node.name === nodeName))
      return node;
    for (var i = 0; i < node.children.length; i++) {
      var found = findOpen(node.children[i], level, nodeName);
      if (found)
        return found;
    }
    return null;
  }

  function newNode(nodeName, level, closed) {
    return { name: nodeName, value: new Uint8Array(0), level: level, closed: closed, children: [] };
  }

  /* Appends to the first open element at `level`: true, or false when its children are full. */
  function append(root, level, nodeName, closed) {
    var parent = findOpen(root, level);
    if (!parent)
      return true; /* no parent: the element is dropped, as Ombrelle does */
    if (parent.children.length >= MAX_CHILDREN)
      return false;
    parent.children.push(newNode(nodeName, level + 1, closed));
    return true;
  }

  /* {root} or {error}: the tree Ombrelle builds from the file, or why it reads nothing. */
  function parseTree(b) {
    if (b.length > FILE_MAX)
      return { error: "it is larger than " + FILE_MAX + " bytes" };
    if (b.indexOf(0) >= 0)
      return { error: "it holds a NUL byte" };
    var root = newNode("", 0, 0);
    var depth = 0, nodes = 0, pos = 0;
    for (;;) {
      var lt = b.indexOf(LT, pos);
      if (lt < 0)
        return depth === 0 ? { root: root } : { error: "it ends inside an element" };
      var gt = tagEnd(b, lt);
      if (gt < 0)
        return { error: "a tag has no \">\" within " + TAG_MAX + " characters" };
      if (b[lt + 1] === SLASH) {
        var closing = text(b.subarray(lt + 2, gt), NAME_MAX);
        var node = depth > 0 ? findOpen(root, depth, closing) : null;
        if (!node)
          return { error: "</" + closing + "> closes no open element" };
        node.closed = 1;
        node.value = onlyBlanks(b, pos, lt) ? new Uint8Array(0) : b.slice(pos, Math.min(lt, pos + VALUE_MAX));
        if (--depth === 0)
          return { root: root };
      } else if (b[gt - 1] === SLASH) {
        if (depth >= MAX_DEPTH || ++nodes > MAX_NODES || !append(root, depth, emptyTagName(b, lt, gt), 1))
          return { error: "it holds too many elements" };
        if (depth === 0)
          return { root: root };
      } else {
        var opening = text(b.subarray(lt + 1, gt), NAME_MAX);
        if (depth >= MAX_DEPTH)
          return { error: "its elements nest too deep" };
        if (++depth === 1) {
          root.level = 1;
          root.name = opening;
        } else if (++nodes > MAX_NODES || !append(root, depth - 1, opening, 0)) {
          return { error: "it holds too many elements" };
        }
      }
      pos = gt + 1;
    }
  }

  /* Ombrelle's numbers: blanks, a sign, digits up to the first other character; none gives 0. */
  function readNumber(s) {
    var m = /^[ \t\n\v\f\r]*([+-]?)(\d*)/.exec(s);
    var magnitude = Math.min(Number(m[2] || "0"), INT32_MAX + 1);
    return m[1] === "-" ? -magnitude : Math.min(magnitude, INT32_MAX);
  }

  /* The children's texts by position (1-based) of every element `element`, in pre-order, later ones winning. */
  function slotsOf(root, element) {
    var slots = [], found = 0;
    (function visit(node) {
      if (node.name === element) {
        found++;
        node.children.forEach(function (child, i) { slots[i + 1] = { tag: child.name, bytes: child.value }; });
      }
      node.children.forEach(visit);
    })(root);
    return { slots: slots, found: found };
  }

  /* ---- from a file to the form ---- */
  function $(id) { return document.getElementById(id); }

  function el(tag, attrs, content) {
    var e = document.createElement(tag);
    Object.keys(attrs || {}).forEach(function (a) { e.setAttribute(a, attrs[a]); });
    if (content !== undefined)
      e.append(content);
    return e;
  }

  function setNote(f, message) {
    $(f.id + "-note").textContent = message || "";
  }

  function supported(f, value) {
    return value !== "" && Number.isInteger(Number(value)) && Number(value) >= 0 && Number(value) < f.choices.length;
  }

  function setControl(f, value) {
    var c = $(f.id);
    if (f.kind === "flag" || f.kind === "nonzero") {
      c.checked = value === "1";
      return;
    }
    if (f.kind === "choice") {
      var extra = c.querySelector("option[data-extra]");
      if (extra)
        extra.remove();
      if (value !== "" && !supported(f, value))
        c.append(el("option", { value: value, "data-extra": "" }, value + ": not supported"));
    }
    c.value = value;
  }

  /* What Ombrelle takes from one slot, and a note when that differs from the file's text. */
  function taken(f, slot) {
    var raw = fromUtf8.decode(slot.bytes);
    if (f.kind === "text" || f.kind === "feedid") {
      var cut = text(slot.bytes, f.bytes);
      var blanks = /\s/.test(cut) ? "Ombrelle takes " + JSON.stringify(cut) + ", blanks and line breaks included." : "";
      return { value: cut, note: cut === raw ? blanks : "The file holds " + slot.bytes.length +
               " bytes; Ombrelle cuts them to " + f.bytes + ". " + blanks };
    }
    var n = readNumber(raw);
    var note = String(n) === raw ? "" : "The file holds \"" + raw + "\"; Ombrelle reads " + n + ". ";
    if (f.kind === "flag" && n !== 0 && n !== 1)
      return { value: "0", note: note + "The file holds " + n + ", out of range: Ombrelle uses 0, off." };
    if (f.kind === "flag" || f.kind === "nonzero")
      return { value: n !== 0 ? "1" : "0", note: note + (n > 1 || n < 0 ? "Any value but 0 is on." : "") };
    if (f.kind === "choice" && !supported(f, n))
      return { value: String(n), note: note + "Type " + n + " is not supported: Ombrelle stops applying the feed settings." };
    if (f.fallback !== undefined && (n < f.range.min || n > f.range.max))
      return { value: String(n < f.range.min ? f.fallback : f.range.max),
               note: note + "The file holds " + n + ", out of range: Ombrelle uses " +
                     (n < f.range.min ? f.fallback : f.range.max) + "." };
    return { value: String(n), note: note.trim() };
  }

  /* Fills the fields of one file; returns the warnings about the file itself. */
  function showFile(fileName, bytes) {
    var file = FILES[fileName];
    var parsed = bytes === null ? { error: "it does not exist" } : parseTree(bytes);
    var read = parsed.root ? slotsOf(parsed.root, file.element) : { slots: [], found: 0 };
    var warnings = [];
    if (parsed.error)
      warnings.push("Ombrelle cannot read this file: " + parsed.error + ". It keeps its current settings.");
    else if (read.found === 0)
      warnings.push("There is no " + file.element + " element: Ombrelle takes nothing from this file.");
    var misplaced = [];
    var count = CHANNELS;
    if (file === FILES["xivelyconfig.xml"]) {
      count = read.slots[6] ? Math.min(Math.max(readNumber(fromUtf8.decode(read.slots[6].bytes)), 0), CHANNELS) : CHANNELS;
      for (var k = 1; k <= CHANNELS; k++)
        $("channel" + k + "-note").textContent = k > count ?
          "Not in use: Ombrelle does not read this channel." : "";
    }
    file.fields.forEach(function (f) {
      var slot = read.slots[f.position];
      if (!slot) {
        if (f.secret)
          stored[f.id] = "";
        setControl(f, "");
        setNote(f, read.found && !(f.channel > count) ? "Missing from the file: Ombrelle keeps its previous value." : "");
        return;
      }
      if (slot.tag !== f.id)
        misplaced.push("position " + f.position + " holds <" + slot.tag + ">, where <" + f.id + "> belongs");
      /* A channel not in use keeps what the file holds, blanks included; Ombrelle never reads it. */
      var unused = f.channel > count;
      var t = unused && slot.bytes.length === 0 ? { value: "", note: "" } : taken(f, slot);
      if (f.secret) {
        stored[f.id] = t.value;
        t = { value: "", note: t.value === "" ? "" : "A key is stored; it is kept unless you type a new one." };
      }
      setControl(f, t.value);
      setNote(f, unused ? "" : ((slot.tag !== f.id ? "Read from <" + slot.tag + ">. " : "") + t.note).trim());
    });
    if (misplaced.length)
      warnings.push("this file may be misordered: Ombrelle reads by position, not by name; " + misplaced.join("; ") + ".");
    if (read.slots.length - 1 > file.fields.length)
      warnings.push("Ombrelle ignores its " + (read.slots.length - 1 - file.fields.length) + " elements after position " +
                    file.fields.length + ".");
    return warnings;
  }

  var endpoint = { rest: "", exists: false, firstLine: "", shown: "", password: null };
  /* Secrets read from the files: kept here, never put in the page, written back unless replaced. */
  var stored = {};

  /* The URL's password (between the user and "@"), or null: {start, end} of it in the text. */
  function passwordIn(url) {
    var scheme = url.indexOf("://");
    if (scheme < 0)
      return null;
    var from = scheme + 3;
    var authority = url.slice(from).search(/[\/?#]/);
    var end = authority < 0 ? url.length : from + authority;
    var at = url.lastIndexOf("@", end - 1);
    if (at < from)
      return null;
    var colon = url.indexOf(":", from);
    if (colon < 0 || colon > at)
      return null;
    return { start: colon + 1, end: at };
  }

  function masked(url) {
    var p = passwordIn(url);
    return p === null || p.start === p.end ? url : url.slice(0, p.start) + MASK + url.slice(p.end);
  }

  /* The line to store for what the field holds: the stored password where the mask still stands. */
  function unmasked(line) {
    var p = passwordIn(line);
    if (p === null || endpoint.password === null || line.slice(p.start, p.end) !== MASK)
      return line;
    return line.slice(0, p.start) + endpoint.password + line.slice(p.end);
  }

  function showEndpoint(bytes, error) {
    $(ENDPOINT.id).disabled = !!error;
    if (error) {
      setControl(ENDPOINT, "");
      setNote(ENDPOINT, "Unavailable: " + error.message);
      return;
    }
    endpoint.exists = bytes !== null;
    var all = bytes === null ? "" : fromUtf8.decode(bytes);
    var br = all.indexOf("\n");
    endpoint.firstLine = br < 0 ? all : all.slice(0, br);
    endpoint.rest = br < 0 ? "" : all.slice(br + 1);
    var p = passwordIn(endpoint.firstLine);
    endpoint.password = p === null ? null : endpoint.firstLine.slice(p.start, p.end);
    endpoint.shown = masked(endpoint.firstLine);
    setControl(ENDPOINT, endpoint.shown);
    setNote(ENDPOINT, endpoint.exists ? "" : "There is no feed_url file: feed_update uses its default.");
  }

  function showWarnings(fileName, warnings) {
    var box = $("warnings-" + fileName.split(".")[0]);
    box.replaceChildren();
    warnings.forEach(function (w) { box.append(el("p", { class: "warning" }, fileName + ": " + w)); });
  }

  function say(message, kind) {
    var s = $("message");
    s.className = kind || "";
    s.textContent = message;
  }

  function load() {
    clearErrors();
    /* The endpoint is optional: a platform that cannot read it still gets the two files. */
    var url = OmbrellePlatform.read("feed_url").then(function (b) { return { bytes: b }; },
                                                      function (e) { return { error: e }; });
    return Promise.all([OmbrellePlatform.read("configparams.xml"), OmbrellePlatform.read("xivelyconfig.xml"), url])
      .then(function (files) {
        showWarnings("configparams.xml", showFile("configparams.xml", files[0]));
        showWarnings("xivelyconfig.xml", showFile("xivelyconfig.xml", files[1]));
        showEndpoint(files[2].bytes, files[2].error);
        $("settings").removeAttribute("aria-busy");
      });
  }

  /* ---- checking ---- */
  /* Ombrelle hands texts on as they are: its command words split at blanks (feed_update joins a
     name's words again with one blank), and its reader takes "&amp;" as five characters. */
  var BAD_TEXT = /[\s<>&"\\\x00-\x1f\x7f]/;
  var BAD_NAME = /[<>&\x00-\x1f\x7f]|^ | $|  /;

  function checkNumber(f, value) {
    if (!/^[+-]?\d+$/.test(value))
      return "Enter a whole number" + (f.range ? " from " + f.range.min + " to " + f.range.max : "") + ".";
    var n = Number(value);
    if (n < f.range.min || n > f.range.max)
      return "Out of range: enter a whole number from " + f.range.min + " to " + f.range.max + "." +
             (f.fallback !== undefined ? " Ombrelle would use " + (n < f.range.min ? f.fallback : f.range.max) + "." : "");
    return "";
  }

  function checkText(f, value) {
    var bytes = utf8.encode(value).length;
    if (bytes === 0)
      return "Must not be empty.";
    if (bytes > f.bytes)
      return "Too long: " + bytes + " bytes, at most " + f.bytes + " (letters beyond plain ASCII take 2 to 4 bytes); " +
             "Ombrelle would cut it.";
    if (f.kind === "feedid")
      return /^[A-Za-z0-9._~-]+$/.test(value) ? "" : "Only letters, digits and . _ ~ - are allowed.";
    if (f.words)
      return BAD_NAME.test(value) ? "Words apart by single blanks, none of < > & and no line breaks." : "";
    return BAD_TEXT.test(value) ? "No blanks and none of < > & \" \\: Ombrelle hands the text on as it is." : "";
  }

  function checkUrl(value) {
    if (value === "")
      return "";
    if (utf8.encode(value).length > URL_BYTES)
      return "Too long: at most " + URL_BYTES + " bytes.";
    return /^(https?|mqtt):\/\/[^\s\x00-\x1f\x7f]+$/.test(value) ? "" :
      "Enter a URL beginning with http://, https:// or mqtt://, without blanks.";
  }

  /* The message for one field, or "". Channels not in use may stay empty. */
  function check(f, count) {
    var c = $(f.id);
    if (c.disabled || f.kind === "flag" || f.kind === "nonzero")
      return "";
    var value = f.kind === "choice" ? c.value : c.value.trim();
    if (f.secret && value === "")
      value = stored[f.id] || "";
    if (f.channel > count && value === "")
      return "";
    if (f.kind === "url")
      return checkUrl(value);
    if (f.kind === "choice")
      return supported(f, value) ? "" : "Choose a supported sensor type.";
    if (f.kind === "int")
      return checkNumber(f, value);
    return checkText(f, value);
  }

  function setError(f, message) {
    var c = $(f.id);
    $(f.id + "-error").textContent = message;
    if (message)
      c.setAttribute("aria-invalid", "true");
    else
      c.removeAttribute("aria-invalid");
  }

  function clearErrors() {
    allFields().forEach(function (f) { setError(f, ""); });
  }

  function allFields() {
    return CONFIG.concat(FEED, [ENDPOINT]);
  }

  /* Checks every field and shows the reasons; the fields in error. */
  function checkAll() {
    /* With no valid count, the empty channels are not worth a message of their own. */
    var count = Number($("ChannelNumber").value.trim());
    if (!(Number.isInteger(count) && count >= 1 && count <= CHANNELS))
      count = 0;
    return allFields().filter(function (f) {
      var message = check(f, count);
      setError(f, message);
      return message !== "";
    });
  }

  /* ---- from the form to the files ---- */
  function valueOf(f) {
    var c = $(f.id);
    if (f.kind === "flag" || f.kind === "nonzero")
      return c.checked ? "1" : "0";
    var v = c.value.trim();
    if (f.secret && v === "")
      return stored[f.id] || "";
    return f.kind === "int" || f.kind === "choice" ? (v === "" ? "" : String(Number(v))) : v;
  }

  /* Never needed for a text that passed the checks; keeps the file readable whatever it is given. */
  function escapeXml(s) {
    return s.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;");
  }

  function fileText(fileName) {
    var file = FILES[fileName];
    return "<" + file.element + ">\n" + file.fields.map(function (f) {
      return "  <" + f.id + ">" + escapeXml(valueOf(f)) + "</" + f.id + ">\n";
    }).join("") + "</" + file.element + ">\n";
  }

  function endpointText() {
    var line = valueOf(ENDPOINT);
    if ($(ENDPOINT.id).disabled || line === endpoint.shown || (!endpoint.exists && line === ""))
      return null;
    return unmasked(line) + "\n" + endpoint.rest;
  }

  function save(event) {
    event.preventDefault();
    hideApply();
    var bad = checkAll();
    if (bad.length) {
      say("Nothing was saved: " + bad.length + (bad.length === 1 ? " field needs" : " fields need") +
          " attention.", "error");
      $(bad[0].id).focus();
      return;
    }
    var writes = [["configparams.xml", fileText("configparams.xml")],
                  ["xivelyconfig.xml", fileText("xivelyconfig.xml")]];
    var url = endpointText();
    if (url !== null)
      writes.push(["feed_url", url]);
    say("Saving…");
    writes.reduce(function (done, w) {
      return done.then(function () { return OmbrellePlatform.write(w[0], w[1]); });
    }, Promise.resolve())
      .then(function () {
        say("Saved.", "ok");
        showApply();
        return load().catch(function (e) { say("Saved, but reading the files back failed: " + e.message, "error"); });
      }, function (e) { say("Saving failed: " + e.message, "error"); });
  }

  function showApply() {
    $("apply-prompt").hidden = false;
    $("apply-now").focus();
  }

  function hideApply() {
    $("apply-prompt").hidden = true;
  }

  /* The prompt goes away under the keyboard's focus: give the focus back to Save. */
  function hideApplyPrompt() {
    hideApply();
    $("save").focus();
  }

  function applyNow() {
    hideApplyPrompt();
    OmbrellePlatform.apply()
      .then(function () { say("Applied: Ombrelle is reading the new settings.", "ok"); })
      .catch(function (e) { say("Applying failed: " + e.message, "error"); });
  }

  /* ---- building the form ---- */
  function control(f) {
    if (f.kind === "flag" || f.kind === "nonzero")
      return el("input", { type: "checkbox", id: f.id });
    if (f.kind === "choice") {
      var s = el("select", { id: f.id });
      f.choices.forEach(function (label, i) { s.append(el("option", { value: String(i) }, i + ": " + label)); });
      return s;
    }
    var attrs = { type: f.secret ? "password" : "text", id: f.id, autocomplete: f.secret ? "new-password" : "off",
                  spellcheck: "false" };
    if (f.secret)
      attrs.placeholder = "stored key kept; type a new one to replace it";
    if (f.kind === "int")
      attrs.inputmode = "numeric";
    if (f.kind === "url")
      attrs.placeholder = "https://api.xively.com/v2";
    return el("input", attrs);
  }

  function describe(c, ids) {
    c.setAttribute("aria-describedby", ids.join(" "));
  }

  function fieldRow(f) {
    var row = el("div", { class: "field " + f.kind });
    var c = control(f);
    var label = el("label", { for: f.id }, f.label);
    if (f.unit)
      label.append(" (" + f.unit + ")");
    row.append(label, c, el("p", { class: "help", id: f.id + "-help" }, f.help),
               el("p", { class: "note", id: f.id + "-note" }), el("p", { class: "error", id: f.id + "-error" }));
    describe(c, [f.id + "-error", f.id + "-note", f.id + "-help"]);
    return row;
  }

  function channelCell(f) {
    var c = control(f);
    describe(c, [f.id + "-error", f.id + "-note", "channel" + f.channel + "-note", "channels-help"]);
    var cell = el("td", {}, el("label", { for: f.id, class: "hidden" }, f.label));
    cell.append(c);
    return cell;
  }

  function channelRows() {
    var body = $("channel-rows");
    for (var k = 1; k <= CHANNELS; k++) {
      var cells = FEED.filter(function (f) { return f.channel === k; });
      var tr = el("tr");
      tr.append(el("th", { scope: "row" }, String(k)));
      cells.forEach(function (f) { tr.append(channelCell(f)); });
      var notes = el("td", { class: "notes" }, el("p", { class: "note", id: "channel" + k + "-note" }));
      cells.forEach(function (f) {
        notes.append(el("p", { class: "error", id: f.id + "-error" }), el("p", { class: "note", id: f.id + "-note" }));
      });
      tr.append(notes);
      body.append(tr);
    }
  }

  function build() {
    allFields().forEach(function (f) {
      if (!f.channel)
        $("group-" + f.group).append(fieldRow(f));
    });
    channelRows();
    $("settings").addEventListener("submit", save);
    $("reload").addEventListener("click", function () {
      hideApply();
      load().then(function () { say("Reloaded from the camera."); }, failedReading);
    });
    $("apply-now").addEventListener("click", applyNow);
    $("apply-later").addEventListener("click", function () {
      hideApplyPrompt();
      say("Saved. The camera uses the new settings once they are applied.", "ok");
    });
  }

  /* ---- the camera now (when the platform offers it) ---- */
  var STATUS_PERIOD_MS = 2000;

  function showStatus(s) {
    if (!s) {
      $("status").hidden = true;
      return false;
    }
    $("status").hidden = false;
    var list = $("sensor-data");
    list.replaceChildren();
    try {
      JSON.parse(s.sensorData).datastreams.forEach(function (d) {
        list.append(el("dt", {}, String(d.id)), el("dd", {}, String(d.current_value).trim()));
      });
    } catch (e) {
      list.append(el("dt", {}, "SensorData.txt"), el("dd", {}, s.sensorData || "(none yet)"));
    }
    $("feed-status").textContent = s.feedStatus;
    return true;
  }

  /* A platform without status hides the panel for good; a failed request once shown is only retried. */
  function pollStatus() {
    OmbrellePlatform.status().then(showStatus, function () { return !$("status").hidden; }).then(function (more) {
      if (more)
        setTimeout(pollStatus, STATUS_PERIOD_MS);
    });
  }

  function failedReading(e) {
    say("Reading the settings failed: " + e.message, "error");
  }

  build();
  load().catch(failedReading);
  pollStatus();
})();
