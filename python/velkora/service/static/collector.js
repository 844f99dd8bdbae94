/* velkora collector: gathers behavioural telemetry in the page and hands it, with a
 * challenge token, to the page's own form or code. Plain script, no dependencies, no
 * eval, no styles, no workers, no cookies or storage; it calls nothing but the service
 * it was loaded from.
 *
 * Privacy: typed text never leaves the page. Each character key is replaced by a
 * pseudonym drawn at random, one map per field (equal keys in one field keep equal
 * pseudonyms, so timing statistics are unchanged, but the same letter in two fields has
 * two names, so text typed in one field cannot be used to decode another); the names of
 * editing and modifier keys (Shift, Backspace, arrows, ...) are kept, as they carry no
 * text. Password fields, also inside shadow roots, send timing only, and so does a custom
 * element whose field cannot be seen (a closed shadow root); a field marked
 * data-velkora-literal="true" (never a password field) sends literal letters.
 *
 * Use:   <script src="https://service/collector.js" data-velkora-form="login"></script>
 *        fills <input type="hidden" name="velkora"> in form#login on submit; or
 *        Velkora.collect().then(function (envelope) { ... })   // {nonce, telemetry}
 */
(function () {
  "use strict";
  var MAX_POINTS = 300;      // most recent pointer samples kept
  var MAX_KEYS = 150;        // the server examines no more
  var MAX_COUNTED = 1000;    // click and scroll entries
  var KEEPALIVE_LIMIT = 65536;
  var script = document.currentScript;
  var base = script && script.src ? new URL(script.src, location.href) : new URL(location.href);
  var origin = base.origin;
  // The service's routes sit beside the script, so that a service mounted under a path
  // (https://shop.example/velkora/collector.js) is found there.
  var challengeUrl = script && script.src ? new URL("v1/challenge", base).href : origin + "/v1/challenge";

  var points = [];
  var keys = [];
  var clicks = [];
  var scrolls = [];
  var pending = null;        // latest pointer event not yet recorded this frame
  var frameQueued = false;
  var down = Object.create(null);   // code -> index in keys of the open press
  // Key names kept as they are: they move the caret or modify, and spell nothing.
  var NAMED_KEYS = Object.create(null);
  ["Shift", "Control", "Alt", "AltGraph", "Meta", "CapsLock", "Backspace", "Delete", "Enter", "Tab", "Escape",
   "ArrowLeft", "ArrowRight", "ArrowUp", "ArrowDown", "Home", "End", "PageUp", "PageDown"].forEach(function (k) {
    NAMED_KEYS[k] = true;
  });
  var fieldMaps = new WeakMap();     // field element -> its own pseudonym map
  var pageMap = Object.create(null); // keys typed outside any element
  var used = Object.create(null);    // every pseudonym handed out, in any map
  var token = null;
  var tokenPromise = null;

  function randomName() {
    var bytes = new Uint8Array(4);
    crypto.getRandomValues(bytes);
    var s = "~";
    for (var i = 0; i < bytes.length; i++) s += (bytes[i] & 31).toString(32);
    return s;
  }

  function pseudonym(target, name) {
    var map = pageMap;
    if (target && target.nodeType === 1) {
      map = fieldMaps.get(target);
      if (!map) {
        map = Object.create(null);
        fieldMaps.set(target, map);
      }
    }
    var p = map[name];
    if (p === undefined) {
      do { p = randomName(); } while (used[p]);
      used[p] = true;
      map[name] = p;
    }
    return p;
  }

  // The element the key went to: the innermost node of the event's path, so that a field
  // inside an open shadow root is seen as itself and not as its host.
  function eventTarget(e) {
    var path = typeof e.composedPath === "function" ? e.composedPath() : null;
    return path && path.length ? path[0] : e.target;
  }

  function num(v) { return Math.round(v * 100) / 100; }

  function record() {
    frameQueued = false;
    var e = pending;
    pending = null;
    if (!e) return;
    var sample = { x: num(e.clientX), y: num(e.clientY), t: num(e.timeStamp) };
    if (e.pointerType === "touch") {
      var r = Math.max(e.width || 0, e.height || 0) / 2;
      if (r > 0) sample.r = num(r);
      if (e.pressure > 0) sample.f = num(e.pressure);
    }
    points.push(sample);
    if (points.length > MAX_POINTS) points.splice(0, points.length - MAX_POINTS);
  }

  function onMove(e) {
    pending = e;
    if (!frameQueued) {
      frameQueued = true;
      requestAnimationFrame(record);
    }
  }

  function fieldKind(target) {
    if (!target || target.nodeType !== 1) return "other";
    if (target.type === "password") return "password";
    // A custom element as the innermost target hides its field in a closed shadow root:
    // it may be a password.
    if (String(target.localName).indexOf("-") > 0 && target.shadowRoot === null) return "password";
    if (target.getAttribute && target.getAttribute("data-velkora-literal") === "true") return "literal";
    return "other";
  }

  function onKeyDown(e) {
    if (e.repeat || keys.length >= MAX_KEYS) return;
    var code = e.code || e.key || "?";
    if (down[code] !== undefined) return;
    var entry = { down: num(e.timeStamp) };
    var target = eventTarget(e);
    var kind = fieldKind(target);
    if (kind === "literal" && typeof e.key === "string" && e.key.length === 1) entry.key = e.key;
    else if (kind === "password") { /* timing only */ }
    else if (NAMED_KEYS[e.key] === true) entry.key = e.key;
    else entry.key = pseudonym(target, String(e.key));
    down[code] = keys.length;
    keys.push(entry);
  }

  function onKeyUp(e) {
    var code = e.code || e.key || "?";
    var i = down[code];
    if (i === undefined) return;
    delete down[code];
    keys[i].up = num(e.timeStamp);
  }

  function onClick(e) {
    if (clicks.length < MAX_COUNTED) clicks.push({ t: num(e.timeStamp) });
  }

  function onScroll(e) {
    if (scrolls.length < MAX_COUNTED) scrolls.push({ t: num(e.timeStamp) });
  }

  var passive = { passive: true, capture: true };
  window.addEventListener("pointermove", onMove, passive);
  window.addEventListener("keydown", onKeyDown, passive);
  window.addEventListener("keyup", onKeyUp, passive);
  window.addEventListener("click", onClick, passive);
  window.addEventListener("wheel", onScroll, passive);

  function telemetry() {
    if (pending) record();
    return {
      browser: {
        webdriver: navigator.webdriver === true,
        screen_width: screen.width,
        screen_height: screen.height,
        touch_supported: "ontouchstart" in window || navigator.maxTouchPoints > 0,
        max_touch_points: navigator.maxTouchPoints | 0
      },
      mouse_movements: points.slice(),
      keystrokes: keys.slice(),
      clicks: clicks.slice(),
      scrolls: scrolls.slice()
    };
  }

  function fetchToken() {
    tokenPromise = fetch(challengeUrl, { method: "GET", credentials: "omit", cache: "no-store" })
      .then(function (r) {
        if (!r.ok) throw new Error("challenge: HTTP " + r.status);
        return r.json();
      })
      .then(function (body) { token = body; return body; }, function (err) { tokenPromise = null; throw err; });
    return tokenPromise;
  }

  function freshToken() {
    var now = Date.now() / 1000;
    if (token && token.expires_at - now > 15) return Promise.resolve(token);
    if (tokenPromise && !token) return tokenPromise;
    return fetchToken();
  }

  function collect() {
    return freshToken().then(function (t) {
      token = null;  // single use: the next collect fetches a new one
      fetchToken().catch(function () {});
      return { nonce: t.nonce, telemetry: telemetry() };
    });
  }

  /* Posts JSON to URL on the service's origin, with keepalive when it fits the 64 KiB
   * browsers allow such requests, else as a plain request. */
  function send(url, body) {
    var target = new URL(url, origin);
    if (target.origin !== origin) return Promise.reject(new Error("velkora: only the service's origin"));
    var text = JSON.stringify(body);
    var init = { method: "POST", credentials: "omit", headers: { "Content-Type": "application/json" }, body: text };
    if (new Blob([text]).size < KEEPALIVE_LIMIT) init.keepalive = true;
    return fetch(target.href, init);
  }

  function attach(form, fieldName) {
    var name = fieldName || "velkora";
    var field = form.querySelector('input[type="hidden"][name="' + name + '"]');
    if (!field) {
      field = document.createElement("input");
      field.type = "hidden";
      field.name = name;
      form.appendChild(field);
    }
    var ready = false;
    form.addEventListener("submit", function (e) {
      if (ready) { ready = false; return; }
      e.preventDefault();
      function go(value) {
        field.value = value;
        ready = true;
        if (form.requestSubmit) form.requestSubmit();
        else { ready = false; form.submit(); }
      }
      // Without a token the form still goes, with an empty field: the backend decides,
      // and a person is never stuck on a page whose service is unreachable.
      collect().then(function (envelope) { go(JSON.stringify(envelope)); }, function () { go(""); });
    });
  }

  var api = { collect: collect, telemetry: telemetry, send: send, attach: attach, origin: origin };
  Object.freeze(api);
  window.Velkora = api;
  fetchToken().catch(function () {});
  var formId = script && script.getAttribute("data-velkora-form");
  if (formId) {
    var form = document.getElementById(formId);
    if (form) attach(form, script.getAttribute("data-velkora-field"));
  }
})();
