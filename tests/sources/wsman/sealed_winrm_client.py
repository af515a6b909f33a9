#!/usr/bin/env python3
"""A client written by others against the tests' sealed HTTP listener: python3-winrm.

    sealed_winrm_client.py URL USER CLASS...   (the password on standard input)

Logs in with NTLM and message encryption, enumerates each CLASS (optimized, then Pull until
EndOfSequence, every message sealed on the one connection) and prints one line per instance:
"CLASS<TAB>Caption" ("-" when it has none). The CLASS StdRegProv instead invokes the registry's
EnumKey on HKEY_LOCAL_MACHINE's uninstall key and prints "StdRegProv<TAB>subkey" for each.
Exits 77 when python3-winrm is not installed.
"""
import sys
import uuid
from xml.etree import ElementTree

try:
    import winrm
except ImportError as e:
    print(e, file=sys.stderr)
    sys.exit(77)

NS = {
    "s": "http://www.w3.org/2003/05/soap-envelope",
    "a": "http://schemas.xmlsoap.org/ws/2004/08/addressing",
    "n": "http://schemas.xmlsoap.org/ws/2004/09/enumeration",
    "w": "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd",
}
RESOURCE = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*"


REGISTRY = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/default/StdRegProv"


def envelope(url, action, body, res=RESOURCE):
    return (
        '<s:Envelope xmlns:s="{s}" xmlns:a="{a}" xmlns:n="{n}" xmlns:w="{w}"><s:Header>'
        "<a:To>{url}</a:To><a:ReplyTo><a:Address s:mustUnderstand=\"true\">"
        "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:Address></a:ReplyTo>"
        '<a:Action s:mustUnderstand="true">{action}</a:Action>'
        "<a:MessageID>uuid:{id}</a:MessageID>"
        '<w:ResourceURI s:mustUnderstand="true">{res}</w:ResourceURI>'
        '<w:MaxEnvelopeSize s:mustUnderstand="true">512000</w:MaxEnvelopeSize>'
        "<w:OperationTimeout>PT30S</w:OperationTimeout></s:Header><s:Body>{body}</s:Body>"
        "</s:Envelope>"
    ).format(url=url, action=action if res != RESOURCE else NS["n"] + "/" + action, body=body,
             id=str(uuid.uuid4()).upper(), res=res, **NS)


def enum_key(protocol, url):
    reply = protocol.send_message(envelope(url, REGISTRY + "/EnumKey", (
        '<p:EnumKey_INPUT xmlns:p="{}"><p:hDefKey>2147483650</p:hDefKey>'
        "<p:sSubKeyName>SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall</p:sSubKeyName>"
        "</p:EnumKey_INPUT>").format(REGISTRY), REGISTRY))
    for name in ElementTree.fromstring(reply).iter("{%s}sNames" % REGISTRY):
        print("StdRegProv\t%s" % name.text)


def walk(protocol, url, cls):
    reply = protocol.send_message(envelope(url, "Enumerate", (
        "<n:Enumerate><w:OptimizeEnumeration/><w:MaxElements>32000</w:MaxElements>"
        '<w:Filter Dialect="http://schemas.microsoft.com/wbem/wsman/1/WQL">'
        "Select * From {}</w:Filter></n:Enumerate>").format(cls)))
    for _ in range(100):
        root = ElementTree.fromstring(reply)
        for items in root.iter():
            if items.tag.endswith("}Items"):
                for item in items:
                    if item.tag == "{%s}Item" % NS["w"] and len(item):
                        item = item[0]
                    caption = item.find("{*}Caption")
                    print("%s\t%s" % (cls, caption.text if caption is not None else "-"))
        if root.find(".//n:EndOfSequence", NS) is not None or \
                root.find(".//w:EndOfSequence", NS) is not None:
            return
        context = root.find(".//n:EnumerationContext", NS).text
        reply = protocol.send_message(envelope(url, "Pull", (
            "<n:Pull><n:EnumerationContext>{}</n:EnumerationContext>"
            "<n:MaxElements>32000</n:MaxElements></n:Pull>").format(context)))
    sys.exit("no EndOfSequence after 100 replies")


def main():
    url, user, classes = sys.argv[1], sys.argv[2], sys.argv[3:]
    password = sys.stdin.readline().rstrip("\n")
    protocol = winrm.Protocol(endpoint=url + "/wsman", transport="ntlm", username=user,
                              password=password, message_encryption="always",
                              read_timeout_sec=20, operation_timeout_sec=10)
    for cls in classes:
        if cls == "StdRegProv":
            enum_key(protocol, url + "/wsman")
        else:
            walk(protocol, url + "/wsman", cls)


if __name__ == "__main__":
    main()
