#!/usr/bin/python3
# Reads stub data (in hex, one a line: a RemoteCreateInstance request and its reply, a Next
# reply, ExecQuery and NTLMLogin requests, an NTLMLogin reply, a RemRelease request) with
# python3-impacket's DCOM and WMI call structures, as an independent client, and prints what it
# found as one JSON object.
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


def next_reply(stub):
    response = wmi.IEnumWbemClassObject_NextResponse(stub)
    names = []
    for pointer in response["apObjects"]:
        objref = dcomrt.OBJREF_CUSTOM(b"".join(pointer["abData"]))
        block = wmi.ENCODING_UNIT(objref["pObjectData"])["ObjectBlock"]
        block.parseObject()
        names.append({k: v["value"] for k, v in block.ctCurrent["values"].items()})
    return {"returned": response["puReturned"], "result": response["ErrorCode"], "objects": names}


def main(path):
    stubs = [bytes.fromhex(line) for line in open(path, encoding="ascii").read().split()]
    response = dcomrt.RemoteCreateInstanceResponse(stubs[1])
    query = wmi.IWbemServices_ExecQuery(stubs[3])
    login = wmi.IWbemLevel1Login_NTLMLogin(stubs[4])
    release = dcomrt.RemRelease(stubs[6])
    print(json.dumps({
        "request": blob(dcomrt.RemoteCreateInstance(stubs[0])["pActProperties"]),
        "reply": blob(response["ppActProperties"]),
        "result": response["ErrorCode"],
        "next": next_reply(stubs[2]),
        "query": [query["strQueryLanguage"]["asData"], query["strQuery"]["asData"], query["lFlags"]],
        "login": [login["wszNetworkResource"].rstrip("\0"), login["lFlags"]],
        "loginReply": wmi.IWbemLevel1Login_NTLMLoginResponse(stubs[5])["ppNamespace"]["ulCntData"],
        "release": [release["cInterfaceRefs"], release["InterfaceRefs"][0]["cPublicRefs"]],
    }, ensure_ascii=False))


if __name__ == "__main__":
    main(sys.argv[1])
