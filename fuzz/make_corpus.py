#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/: a valid message of every payload
type (in each of its sizes), and for the targets whose input is more than a message, inputs built from those
messages. Run once after changing it; the files are committed. Files named regression-* are not touched."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
VIN = b"WVWZZZ1JZXW000001"
EID = bytes.fromhex("001A2B3C4D5E")
GID = bytes.fromhex("0A0B0C0D0E0F")


def msg(ptype, payload=b"", version=2):
    return bytes([version, version ^ 0xFF]) + struct.pack(">HI", ptype, len(payload)) + payload


def ra_response(code, oem=False, version=2):
    payload = struct.pack(">HHB", 0x0EF5, 0x0CE1, code) + bytes(4) + (b"\x12\x34\x56\x78" if oem else b"")
    return msg(0x0006, payload, version)


MESSAGES = {
    "generic_nack": msg(0x0000, b"\x02"),
    "vid_request": msg(0x0001),
    "vid_request_eid": msg(0x0002, EID),
    "vid_request_vin": msg(0x0003, VIN),
    "vid_response": msg(0x0004, VIN + b"\x10\x01" + EID + GID + b"\x00"),
    "vid_response_sync": msg(0x0004, VIN + b"\x10\x01" + EID + GID + b"\x00\x10"),
    "ra_request": msg(0x0005, b"\x0e\xf5\x00" + bytes(4)),
    "ra_request_oem": msg(0x0005, b"\x0e\xf5\x00" + bytes(4) + b"\x12\x34\x56\x78"),
    "ra_response": ra_response(0x10),
    "ra_response_oem": ra_response(0x10, oem=True),
    "ra_response_denied": ra_response(0x00),
    "alive_check_request": msg(0x0007),
    "alive_check_response": msg(0x0008, b"\x0e\xf5"),
    "entity_status_request": msg(0x4001),
    "entity_status_response": msg(0x4002, b"\x00\x04\x01"),
    "entity_status_response_max": msg(0x4002, b"\x00\x04\x01\x00\x00\x10\x00"),
    "power_mode_request": msg(0x4003),
    "power_mode_response": msg(0x4004, b"\x01"),
    "diag_message": msg(0x8001, b"\x0e\xf5\x0c\xe1\x22\xf1\x90"),
    "diag_message_empty": msg(0x8001, b"\x0e\xf5\x0c\xe1"),
    "diag_ack": msg(0x8002, b"\x0c\xe1\x0e\xf5\x00\x22\xf1\x90"),
    "diag_nack": msg(0x8003, b"\x0c\xe1\x0e\xf5\x02"),
    "manufacturer": msg(0xF000, b"\x01\x02\x03"),
    "diag_message_v3": msg(0x8001, b"\x0e\xf5\x0c\xe1\x10\x01", version=3),
    "diag_message_vff": msg(0x8001, b"\x0e\xf5\x0c\xe1\x3e\x00", version=0xFF),
}


def activation_inputs():
    # Options byte (see fuzz_activation.cpp), version, [length + address text], reply.
    out = {}
    for code in (0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x10, 0x11, 0x20):
        out["activate_%02x" % code] = bytes([0x82, 2]) + ra_response(code)
    out["activate_oem"] = bytes([0x83, 2]) + ra_response(0x10, oem=True)
    out["activate_v3"] = bytes([0x82, 3]) + ra_response(0x10, version=3)
    out["activate_other_channel"] = bytes([0x92, 2]) + ra_response(0x10)
    out["activate_open_fails"] = bytes([0xA2, 2]) + ra_response(0x10)
    out["activate_send_fails"] = bytes([0xC2, 2]) + ra_response(0x10)
    out["activate_no_reply"] = bytes([0x82, 2])
    out["activate_diag_reply"] = bytes([0x82, 2]) + MESSAGES["diag_message"]
    local = b"192.168.0.10"
    out["local_address"] = bytes([0x86, 2, len(local)]) + local + ra_response(0x10)
    out["remote_address"] = bytes([0x8A, 2, len(local)]) + local + ra_response(0x10)
    out["address_not_ipv4"] = bytes([0x86, 2, 9]) + b"localhost" + ra_response(0x10)
    out["response_only"] = bytes([0x00, 2]) + ra_response(0x05)
    return out


def cache_inputs():
    # Operations (see fuzz_cache.cpp): op, channel, then the operation's bytes.
    def append(channel, message, repeat=False):
        return bytes([1 if repeat else 0, channel]) + struct.pack(">II", 1, 2) + bytes([len(message)]) + message

    get = bytes([2, 0])
    wait = lambda channel, prefix: bytes([3, channel, len(prefix) - 1]) + prefix
    clear = lambda channel: bytes([4, channel])
    count = lambda channel: bytes([5, channel])
    copy = bytes([6, 0])
    diag, ack, ra = MESSAGES["diag_message"], MESSAGES["diag_ack"], MESSAGES["ra_response"]
    return {
        "append_get": append(0, diag) + append(1, ack) + get + copy + get + get,
        "wait_pattern": append(0, diag) + append(0, ra) + wait(0, ra[:4]) + count(0) + get,
        "wait_miss": append(1, diag) + wait(0, diag[:4]) + count(1),
        "clear_channel": append(0, diag) + append(1, ack) + append(0, ra) + clear(0) + count(0) + count(1) + get,
        "empty_message": append(2, b"") + append(0, diag) + get + get + copy,
        "queue_limit": append(0, diag, True) * 4 + append(1, ack, True) + count(0) + count(1) + get + copy,
    }


def framer_inputs():
    # Head byte: number of chunk sizes (low 4 bits), maximum payload index (high 4 bits); chunk sizes; stream.
    stream = b"".join(MESSAGES.values())
    return {
        "whole": bytes([0xD0]) + stream,
        "chunks_1": bytes([0xD1, 1]) + stream,
        "chunks_mixed": bytes([0xD3, 1, 7, 13]) + stream,
        "chunks_headers": bytes([0xD2, 8, 0]) + stream,
        "unknown_type": bytes([0xD2, 3, 5]) + MESSAGES["diag_message"] + msg(0x0009, b"\x01\x02") + MESSAGES["diag_ack"],
        "bad_header": bytes([0xD1, 4]) + MESSAGES["diag_message"] + b"\x02\xfe\x80\x01\x00\x00\x00\x00",
        "too_large": bytes([0x53, 2, 9, 1]) + MESSAGES["alive_check_response"] + MESSAGES["diag_message"],
    }


def write(target, inputs):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if not name.startswith("regression-"):
            os.remove(os.path.join(folder, name))
    for name, data in inputs.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def main():
    for target in ("header", "decoders", "roundtrip", "explain"):
        write(target, MESSAGES)
    write("activation", activation_inputs())
    write("cache", cache_inputs())
    write("framer", framer_inputs())


if __name__ == "__main__":
    main()
