#!/usr/bin/python3
# Runs python3-impacket's DCOM client through one WMI query against a server that answers with
# reply stubs the test wrote (one "name hex" a line: act, login, query, next1, next2, result).
# Meant to run inside a network namespace of its own (port 135 on its loopback): the server
# takes binds and alter_contexts without authentication, records each request stub as
# "port:opnum hex" in the second file, and answers it. The client prints what it saw.
import socket
import struct
import sys
import threading
import time

from impacket.dcerpc.v5.dcom import wmi
from impacket.dcerpc.v5.dcomrt import DCOMConnection
from impacket.dcerpc.v5.dtypes import NULL
from impacket.dcerpc.v5.rpcrt import RPC_C_AUTHN_LEVEL_NONE

NDR = bytes.fromhex("045d888aeb1cc9119fe808002b10486002000000")
OBJECT_PORT = 1500
replies = dict(line.split() for line in open(sys.argv[1], encoding="ascii"))
recorded = open(sys.argv[2], "w", encoding="ascii")
pending_next = ["next1", "next2"]


def pdus(conn):
    data = b""
    while True:
        while len(data) < 16 or len(data) < struct.unpack("<H", data[8:10])[0]:
            more = conn.recv(65536)
            if not more:
                return
            data += more
        length = struct.unpack("<H", data[8:10])[0]
        yield data[:length]
        data = data[length:]


def pdu_of(ptype, body, call):
    head = bytes([5, 0, ptype, 3, 0x10, 0, 0, 0]) + struct.pack("<HH", 16 + len(body), 0) + call
    return head + body


def bind_ack(pdu, port):
    contexts = pdu[24]
    address = b"" if pdu[2] == 14 else str(port).encode() + b"\0"
    body = struct.pack("<HHIH", 4280, 4280, 0x1234, len(address)) + address
    body += b"\0" * (-len(body) % 4) + bytes([contexts, 0, 0, 0])
    body += (struct.pack("<HH", 0, 0) + NDR) * contexts
    return pdu_of(12 if pdu[2] == 11 else 15, body, pdu[12:16])


def answer(pdu, port):
    opnum = struct.unpack("<H", pdu[22:24])[0]
    stub = pdu[24 + (16 if pdu[3] & 0x80 else 0):]
    recorded.write("%d:%d %s\n" % (port, opnum, stub.hex()))  # one call at a time: in order
    recorded.flush()
    name = {(135, 4): "act", (OBJECT_PORT, 6): "login", (OBJECT_PORT, 20): "query"}.get(
        (port, opnum), "result")
    if (port, opnum) == (OBJECT_PORT, 4):
        name = pending_next.pop(0) if pending_next else "next2"
    reply = bytes.fromhex(replies[name])
    body = struct.pack("<IHBB", len(reply), 0, 0, 0) + reply
    return pdu_of(2, body, pdu[12:16])


def serve(conn, port):
    with conn:
        for pdu in pdus(conn):
            conn.sendall(bind_ack(pdu, port) if pdu[2] in (11, 14) else answer(pdu, port))


def listen(port):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(4)
    server.settimeout(20)
    while True:
        conn, _ = server.accept()
        conn.settimeout(20)
        threading.Thread(target=serve, args=(conn, port), daemon=True).start()


def query():
    dcom = DCOMConnection("127.0.0.1", "", "", "", authLevel=RPC_C_AUTHN_LEVEL_NONE,
                          oxidResolver=False)
    login = wmi.IWbemLevel1Login(
        dcom.CoCreateInstanceEx(wmi.CLSID_WbemLevel1Login, wmi.IID_IWbemLevel1Login))
    services = login.NTLMLogin("//./root/cimv2", NULL, NULL)
    login.RemRelease()
    enum = services.ExecQuery("Select * From Win32_Share")
    while True:
        try:
            obj = enum.Next(0xFFFFFFFF, 1)[0]
        except Exception:  # impacket ends an enumeration on S_FALSE by raising
            break
        values = obj.getProperties()
        print("object", values["Name"]["value"], values["Path"]["value"])
    enum.RemRelease()
    services.RemRelease()
    print("released")
    dcom.disconnect()


for p in (135, OBJECT_PORT):
    threading.Thread(target=listen, args=(p,), daemon=True).start()
time.sleep(0.3)
query()
