#!/usr/bin/python3
# python3-impacket's WMI client runs one query at NTLM packet privacy against the tests' WMI
# server (port 135 of 127.0.0.1, in the test's own network namespace) and prints each object's
# Name, then "released". Arguments: user, domain, password, query.
import sys

from impacket.dcerpc.v5.dcom import wmi
from impacket.dcerpc.v5.dcomrt import DCOMConnection
from impacket.dcerpc.v5.dtypes import NULL
from impacket.dcerpc.v5.rpcrt import RPC_C_AUTHN_LEVEL_PKT_PRIVACY

user, domain, password, query = sys.argv[1:5]
dcom = DCOMConnection("127.0.0.1", user, password, domain,
                      authLevel=RPC_C_AUTHN_LEVEL_PKT_PRIVACY, oxidResolver=False)
try:
    login = wmi.IWbemLevel1Login(
        dcom.CoCreateInstanceEx(wmi.CLSID_WbemLevel1Login, wmi.IID_IWbemLevel1Login))
    services = login.NTLMLogin("//./root/cimv2", NULL, NULL)
    enum = services.ExecQuery(query)
    while True:
        try:
            obj = enum.Next(0xFFFFFFFF, 1)[0]
        except Exception:  # impacket ends an enumeration on S_FALSE by raising
            break
        print("object", obj.getProperties()["Name"]["value"])
    enum.RemRelease()
    services.RemRelease()
    login.RemRelease()
    print("released")
finally:
    dcom.disconnect()
