"""The registry's response envelope.

JSON answers have the form {"status_code": ..., "message": ..., "data": ...}
and carry the same status as the HTTP answer. `api_response` builds the
envelope; `api_router_response` turns it into the endpoint's answer. A file
(an in-memory PDF) is answered as a download instead.
"""

from http import HTTPStatus
from typing import Any, Optional
from urllib.parse import quote

from fastapi.encoders import jsonable_encoder
from fastapi.responses import JSONResponse, Response


def _reason(status_code: int) -> str:
    try:
        return HTTPStatus(status_code).phrase
    except ValueError:
        return ""


def _content_disposition(filename: str) -> str:
    ascii_name = filename.encode("ascii", "replace").decode("ascii").replace('"', "_").replace("\\", "_")
    header = f'attachment; filename="{ascii_name}"'
    if ascii_name != filename:
        header += f"; filename*=UTF-8''{quote(filename)}"
    return header


def api_response(
    *,
    data: Any = None,
    message: Optional[str] = None,
    status_code: int = 200,
    file: Any = None,
    filename: Optional[str] = None,
):
    """The envelope of `data` and `message` (a dict), or, when `file` is
    given, a PDF download of the file's bytes named `filename`."""
    if file is not None:
        content = file.getvalue() if hasattr(file, "getvalue") else file.read()
        return Response(
            content=content,
            status_code=status_code,
            media_type="application/pdf",
            headers={"Content-Disposition": _content_disposition(filename or "document.pdf")},
        )
    return {
        "status_code": status_code,
        "message": message if message is not None else _reason(status_code),
        "data": jsonable_encoder(data),
    }


def api_router_response(result):
    """The HTTP answer for an `api_response` result: the envelope as JSON
    with its status code; a ready response passes through unchanged."""
    if isinstance(result, Response):
        return result
    return JSONResponse(status_code=result["status_code"], content=result)
