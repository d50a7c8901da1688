/*
 * platform.js - the one place where the settings page talks to the camera.
 *
 * The page needs three requests, plus one optional:
 *   read(name)         the whole file as bytes (a Uint8Array), or null when it
 *                      does not exist
 *   write(name, text)  replaces the whole file (the platform should replace it
 *                      atomically: write beside it, then rename)
 *   apply()            asks Ombrelle to apply its configuration (SIGUSR1)
 *   status()           optional: {sensorData, feedStatus} texts to show read-only,
 *                      or null when the platform offers none (the panel is hidden)
 * `name` is one of the keys of FILES below: the two configuration files of
 * html/ and the feed endpoint file feed_url of the application's home, beside
 * feed_update (a platform that cannot reach it may reject: the page then only
 * disables the endpoint field). Every request resolves, or rejects with an
 * Error whose message is shown to the user. An integrator maps these to the
 * platform's own web API here and changes nothing else.
 *
 * This mapping: plain HTTP relative to the page, which is served from the
 * application's www/ folder (root's: the page's code); the settings are in
 * html/ beside it.
 *   GET  <url>          read  (404: the file does not exist)
 *   PUT  <url>          write (body: the new file, UTF-8)
 *   POST apply          apply
 *   GET  status         status (JSON; 404: none)
 * Every request carries the header X-Ombrelle-Settings: a form of another
 * site cannot send it, and a script of another site needs the server's
 * consent (a CORS preflight) to send it. The server must refuse a write
 * without it, and one whose Origin is not the page's own.
 */
"use strict";

var OmbrellePlatform = (function () {
  var FILES = {
    "configparams.xml": "../html/configparams.xml",
    "xivelyconfig.xml": "../html/xivelyconfig.xml",
    "feed_url": "../feed_url"
  };
  var HEADERS = { "X-Ombrelle-Settings": "1" };
  var TIMEOUT_MS = 10000;

  function request(method, url, body) {
    var abort = new AbortController();
    var timer = setTimeout(function () { abort.abort(); }, TIMEOUT_MS);
    return fetch(url, { method: method, body: body, headers: HEADERS, cache: "no-store",
                              credentials: "same-origin", signal: abort.signal })
      .catch(function () { throw new Error(method + " " + url + ": the camera did not answer"); })
      .finally(function () { clearTimeout(timer); });
  }

  function failed(what, response) {
    return new Error(what + ": the camera answered " + response.status + " " + response.statusText);
  }

  function urlOf(name) {
    if (!Object.prototype.hasOwnProperty.call(FILES, name))
      throw new Error("unknown file " + name);
    return FILES[name];
  }

  /* Bytes, not text: the page must see exactly what Ombrelle reads. */
  function read(name) {
    return request("GET", urlOf(name)).then(function (response) {
      if (response.status === 404)
        return null;
      if (!response.ok)
        throw failed("reading " + name, response);
      return response.arrayBuffer().then(function (buffer) { return new Uint8Array(buffer); });
    });
  }

  function write(name, text) {
    return request("PUT", urlOf(name), new TextEncoder().encode(text)).then(function (response) {
      if (!response.ok)
        throw failed("writing " + name, response);
    });
  }

  function apply() {
    return request("POST", "apply").then(function (response) {
      if (!response.ok)
        throw failed("applying", response);
    });
  }

  function status() {
    return request("GET", "status").then(function (response) {
      return response.ok ? response.json() : null;
    });
  }

  return { read: read, write: write, apply: apply, status: status };
})();
