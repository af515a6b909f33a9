#!/usr/bin/python3
# Reads a RemoteCreateInstance request and its reply (stub data, in hex, one a line) with
# python3-impacket's DCOM structures, as an independent client, and prints what it found as
# one JSON object: the call's frame, the custom OBJREF, the activation blob's header and the
# classes of its properties in order.
import json
import sys

from impacket.dcerpc.v5 import dcomrt
from impacket.uuid import bin_to_string


def guid(value):
    return bin_to_string(value if isinstance(value, bytes) else value.getData()).upper()


def blob(pointer):
    objref = dcomrt.OBJREF_CUSTOM(b"".join(pointer["abData"]))
    activation = dcomrt.ACTIVATION_BLOB(objref["pObjectData"])
    header = activation["CustomHeader"]
    return {
        "objref": guid(objref["clsid"]),
        "properties": [guid(c) for c in header["pclsid"]],
        "sizes": [s["Data"] for s in header["pSizes"]],
        "total": header["totalSize"],
        "destCtx": header["destCtx"],
    }


def main(path):
    request, reply = (bytes.fromhex(line) for line in open(path, encoding="ascii").read().split())
    response = dcomrt.RemoteCreateInstanceResponse(reply)
    print(json.dumps({
        "request": blob(dcomrt.RemoteCreateInstance(request)["pActProperties"]),
        "reply": blob(response["ppActProperties"]),
        "result": response["ErrorCode"],
    }))


if __name__ == "__main__":
    main(sys.argv[1])
