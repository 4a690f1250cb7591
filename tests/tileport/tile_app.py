"""The smallest application that serves the tile router: for the tests that
run a real server process."""

from fastapi import FastAPI

import terrava.tileport as tileport_module

app = FastAPI()
app.include_router(tileport_module.tileport)
