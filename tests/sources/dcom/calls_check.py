#!/usr/bin/python3
# Reads the requests the client sends (stub data in hex, one a line: RemoteCreateInstance,
# ExecQuery, NTLMLogin, RemRelease; then a RemoteCreateInstance reply) with python3-impacket's
# DCOM and WMI call structures, as an independent reader, and prints what it found as one JSON
# object.
import json
import sys

from impacket.dcerpc.v5 import dcomrt
from impacket.dcerpc.v5.dcom import wmi
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
    stubs = [bytes.fromhex(line) for line in open(path, encoding="ascii").read().split()]
    query = wmi.IWbemServices_ExecQuery(stubs[1])
    login = wmi.IWbemLevel1Login_NTLMLogin(stubs[2])
    release = dcomrt.RemRelease(stubs[3])
    print(json.dumps({
        "request": blob(dcomrt.RemoteCreateInstance(stubs[0])["pActProperties"]),
        "reply": blob(dcomrt.RemoteCreateInstanceResponse(stubs[4])["ppActProperties"]),
        "query": [query["strQueryLanguage"]["asData"], query["strQuery"]["asData"], query["lFlags"]],
        "login": [login["wszNetworkResource"].rstrip("\0"), login["lFlags"]],
        "release": [release["cInterfaceRefs"], release["InterfaceRefs"][0]["cPublicRefs"]],
    }, ensure_ascii=False))


if __name__ == "__main__":
    main(sys.argv[1])
