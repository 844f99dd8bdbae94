"""The framework's floor for bench/service_load.py: a Starlette endpoint that reads the
body, parses the JSON and sends it back, with nothing else."""

import json

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route


async def echo(request: Request) -> Response:
    return JSONResponse(json.loads(await request.body()))


async def healthz(request: Request) -> Response:
    return JSONResponse({"status": "ok"})


app = Starlette(routes=[Route("/echo", echo, methods=["POST"]), Route("/healthz", healthz)])
