/* The demo page's own code: on submit, collect {nonce, telemetry} and post it to the
 * demo backend (which plays the integrator's server), then show the answer. The form's
 * fields themselves are never sent. */
(function () {
  "use strict";
  var form = document.getElementById("login");
  var verdict = document.getElementById("verdict");
  var features = document.getElementById("features");
  form.addEventListener("submit", function (e) {
    e.preventDefault();
    verdict.textContent = "assessing...";
    // "nonce-store-reset": the service's store lost its memory of used tokens after
    // this token was issued. Nothing was consumed; a fresh token (collect fetches a new
    // one each time) and one more try is what an integrator's page should do too.
    function attempt(retries) {
      return window.Velkora.collect()
        .then(function (envelope) { return window.Velkora.send("/demo/assess", envelope); })
        .then(function (r) { return r.json(); })
        .then(function (answer) {
          var codes = answer["error-codes"] || [];
          return retries > 0 && codes.indexOf("nonce-store-reset") >= 0 ? attempt(retries - 1) : answer;
        });
    }
    attempt(1)
      .then(function (answer) {
        var shown = Object.assign({}, answer);
        delete shown.features;
        verdict.textContent = JSON.stringify(shown, null, 2);
        features.textContent = JSON.stringify(answer.features || {}, null, 2);
        document.body.setAttribute("data-verdict", answer.verdict || answer["error-codes"].join(","));
      })
      .catch(function (err) { verdict.textContent = "error: " + err.message; });
  });
})();
