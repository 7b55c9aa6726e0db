"""A stdio MCP server offering the tools named on its command line; each call answers "ok".

JSON-RPC messages, one per line. Methods it does not know get an error, which is how a host
that opens with a newer handshake falls back to `initialize`."""

import json
import sys

TOOLS = sys.argv[1:]


def answer(request: dict):
    method, params = request.get("method"), request.get("params") or {}
    if method == "initialize":
        return {"protocolVersion": params.get("protocolVersion", "2025-06-18"),
                "capabilities": {"tools": {}},
                "serverInfo": {"name": "scripted", "version": "1.0"}}
    if method == "tools/list":
        return {"tools": [{"name": name, "description": f"The {name} tool.",
                           "inputSchema": {"type": "object", "properties": {}}}
                          for name in TOOLS]}
    if method == "tools/call":
        return {"content": [{"type": "text", "text": "ok"}], "isError": False}
    if method == "ping":
        return {}
    return None


for line in sys.stdin:
    request = json.loads(line)
    if "id" not in request:  # a notification
        continue
    result = answer(request)
    reply = {"jsonrpc": "2.0", "id": request["id"]}
    if result is None:
        reply["error"] = {"code": -32601, "message": f"method not found: {request.get('method')}"}
    else:
        reply["result"] = result
    print(json.dumps(reply), flush=True)
