"""The service inside an integrator's app, over real HTTP: mounted under a path (whose
lifespan the parent's server never runs), the example FastAPI app protecting its sign-in
route with the dependency, and the Starlette middleware handing the assessment to a route
with the body intact."""

import json
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any
from urllib.parse import urlencode

import httpx
import pytest
from service_server import serve_app_in_thread
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Mount, Route
from velkora.service import Settings, create_app
from velkora.service.embed import Guard, GuardMiddleware

SECRET = b"embed-test-signing-secret-0123456789"
SETTINGS = Settings(signing_keys={"k1": SECRET}, trace_max=0, admin_token="embed-test-admin-token")
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def problem_codes(r: httpx.Response) -> list[str]:
    assert r.headers["content-type"] == "application/problem+json", (r.status_code, r.text)
    return list(r.json()["error-codes"])


async def ok(request: Request) -> Response:
    return JSONResponse({"ok": True})


def test_the_service_works_mounted_under_a_path() -> None:
    parent = Starlette(routes=[Route("/ok", ok), Mount("/velkora", create_app(SETTINGS))])
    with serve_app_in_thread(parent, health="/ok") as base, httpx.Client(base_url=base + "/velkora") as c:
        assert c.get("/healthz").json()["status"] == "ok"
        nonce = c.get("/v1/challenge").json()["nonce"]
        r = c.post("/v1/assess", json={"nonce": nonce, "telemetry": {}})
        assert r.status_code == 200 and r.json()["verdict"] == "insufficient-data", r.text
        assert problem_codes(c.post("/v1/assess", json={"nonce": nonce, "telemetry": {}})) == ["nonce-reused"]
        assert problem_codes(c.get("/nothing/here")) == ["not-found"]
        assert c.get("/collector.js").status_code == 200


@pytest.fixture(scope="module")
def example() -> Iterator[str]:
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
    try:
        import protected_app
    finally:
        sys.path.pop(0)
    with serve_app_in_thread(protected_app.build(SETTINGS), health="/velkora/healthz") as base:
        yield base


def envelope(client: httpx.Client, telemetry: dict[str, Any] | None = None) -> str:
    nonce = client.get("/velkora/v1/challenge").json()["nonce"]
    return json.dumps({"nonce": nonce, "telemetry": telemetry or {}})


def test_the_example_app_protects_its_route_with_the_dependency(example: str) -> None:
    with httpx.Client(base_url=example, timeout=10.0) as c:
        assert "/velkora/collector.js" in c.get("/").text
        sent = envelope(c)
        form = urlencode({"username": "ana", "password": "pw", "velkora": sent})
        r = c.post("/login", content=form, headers=FORM)
        assert r.json() == {"signed_in": True, "user": "ana", "verdict": "insufficient-data"}, r.text
        # The same envelope again, one never given, a tampered one: refused before the route.
        assert problem_codes(c.post("/login", content=form, headers=FORM)) == ["nonce-reused"]
        r = c.post("/login", content=urlencode({"username": "ana", "password": "pw"}), headers=FORM)
        assert (r.status_code, problem_codes(r), r.json()["field"]) == (422, ["envelope-missing"], "velkora")
        forged = json.loads(envelope(c))
        forged["nonce"] = forged["nonce"][:-2] + ("AA" if not forged["nonce"].endswith("AA") else "BA")
        form = urlencode({"username": "ana", "password": "pw", "velkora": json.dumps(forged)})
        assert c.post("/login", content=form, headers=FORM).status_code == 403
        # The automation flag makes a bot: the route decides what that means.
        form = urlencode({"username": "ana", "password": "pw",
                          "velkora": envelope(c, {"browser": {"webdriver": True}})})
        r = c.post("/login", content=form, headers=FORM)
        assert (r.status_code, r.json()) == (403, {"signed_in": False, "reason": "automated"})


def test_the_middleware_hands_the_assessment_and_the_body_to_the_route() -> None:
    guard = Guard(SETTINGS, field="bot_check")

    async def submit(request: Request) -> Response:
        body = await request.json()
        return JSONResponse({"verdict": request.state.velkora.verdict.verdict, "order": body["order"]})

    app = Starlette(routes=[Route("/submit", submit, methods=["POST"]), Route("/ok", ok),
                            Mount("/velkora", guard.app)], lifespan=guard.lifespan)
    app.add_middleware(GuardMiddleware, guard=guard, paths={"/submit"})
    with serve_app_in_thread(app, health="/ok") as base, httpx.Client(base_url=base, timeout=10.0) as c:
        nonce = c.get("/velkora/v1/challenge").json()["nonce"]
        r = c.post("/submit", json={"order": 17, "bot_check": {"nonce": nonce, "telemetry": {}}})
        assert r.json() == {"verdict": "insufficient-data", "order": 17}, r.text
        r = c.post("/submit", json={"order": 18, "bot_check": {"nonce": "v1.k1.x.y", "telemetry": {}}})
        assert (r.status_code, problem_codes(r)) == (403, ["nonce-malformed"])
        r = c.post("/submit", json={"order": 19, "bot_check": {"nonce": nonce, "telemetry": {"clicks": 5}}})
        assert (problem_codes(r), r.json()["field"]) == (["telemetry-invalid"], "telemetry.clicks")
        assert c.post("/submit", content=b"x" * (SETTINGS.max_body + 1),
                      headers={"Content-Type": "application/json"}).status_code == 413
        assert c.get("/ok").json() == {"ok": True}  # other routes untouched


def test_openapi_document_is_valid_and_names_every_route_and_problem_code() -> None:
    import re
    from importlib import resources

    from openapi_spec_validator import validate
    from starlette.routing import Route as StarletteRoute

    app = create_app(SETTINGS)
    with serve_app_in_thread(app) as base:
        r = httpx.get(base + "/openapi.json")
    document = r.json()
    validate(document)
    assert document["openapi"].startswith("3.1")
    routes = {(route.path, method.lower()) for route in app.routes if isinstance(route, StarletteRoute)
              for method in route.methods or () if method != "HEAD"}
    documented = {(path, method) for path, item in document["paths"].items() for method in item
                  if method != "parameters"}
    assert routes == documented
    # Every code the service's sources can answer with is in some route's list.
    sources = "".join(f.read_text("utf-8") for f in resources.files("velkora.service").iterdir()
                      if f.name.endswith(".py"))
    used = set(re.findall(r'(?:Refusal|EnvelopeError)\(\d+, "([a-z-]+)"', sources))
    used |= set(re.findall(r'send_problem\(send, \d+, "([a-z-]+)"', sources))
    used |= set(re.findall(r'TokenError\("([a-z-]+)"\)', resources.files("velkora.service").joinpath(
        "tokens.py").read_text("utf-8")))
    used |= {"method-not-allowed"}
    listed: set[str] = set()
    for item in document["paths"].values():
        for operation in (op for op in item.values() if isinstance(op, dict)):
            for answer in operation["responses"].values():
                schema = answer.get("content", {}).get("application/problem+json", {}).get("schema")
                if schema is not None:
                    listed |= set(schema["allOf"][1]["properties"]["error-codes"]["items"]["enum"])
    assert used - {"envelope-missing"} <= listed, used - listed  # envelope-missing: the embedding's, not a route's
    # The envelope's schema carries its bounds.
    sample = document["components"]["schemas"]["PointerSample"]["properties"]["x"]
    assert (sample["minimum"], sample["maximum"]) == (-1e7, 1e7)
