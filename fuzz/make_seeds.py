#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this again only to change them. Input layouts are described at the
top of each target's source.
"""
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"

PRESENT, VERSION, DATA_REQUEST, DONE, CANCELLED = 0x80, 0x81, 0x82, 0x83, 0x84
PROBING, VERSION_QUERY, READY, STARTING, TRANSFERRING, FINISHING = range(6)
IMAGE_SIZE = 2 * 1024 + 553  # the image fuzz_receive serves


def escape(data):
    out = bytearray()
    for b in data:
        if b in (0x7D, 0x7E):
            out += bytes([0x7D, b ^ 0x20])
        else:
            out.append(b)
    return bytes(out)


def device_frame(code, data=0, extra0=0, extra1=0, lead=0x50):
    body = bytes([lead, code]) + (data & 0xFFFFFFFF).to_bytes(4, "little") + bytes([extra0, extra1])
    return bytes([0x7E, 0x5E]) + escape(body)


def request(offset):
    return device_frame(DATA_REQUEST, offset)


def receive_input(state, stream, cut16=0, silence=False):
    return bytes([state | (cut16 << 3) | (0x80 if silence else 0)]) + stream


def transferring_requests(state):
    """The runs of data requests both window and session get while transferring."""
    runs = {
        "transferring_block_edges": (1020, 1024, 2044, 2048, 2596, 2600, IMAGE_SIZE),
        "transferring_back_and_unaligned": (2049, 7, 1023, 0x7E, 0x97D, 1),
        "transferring_past_end": (3000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF),
    }
    return {name: receive_input(state, b"".join(request(o) for o in offsets))
            for name, offsets in runs.items()}


RECEIVE = {
    "probing_present": receive_input(PROBING, device_frame(PRESENT)),
    "probing_other_code": receive_input(PROBING, device_frame(DONE)),
    "probing_wrong_lead": receive_input(PROBING, device_frame(PRESENT, lead=0x51)),
    "versionquery_version": receive_input(VERSION_QUERY, device_frame(VERSION, 0x0A020001)),
    "versionquery_escaped_version": receive_input(VERSION_QUERY, device_frame(VERSION, 0x7E7D7E7D)),
    "probing_handshake_split": receive_input(
        PROBING, device_frame(PRESENT) + device_frame(VERSION, 0x01000507), 7),
    "ready_lost_after_double_start": receive_input(
        READY, b"\x7e\x7e\x5e\x50\x80\x00\x00\x00\x00\x00\x00" + device_frame(PRESENT)),
    "starting_request_0": receive_input(STARTING, request(0)),
    "starting_cancel": receive_input(STARTING, device_frame(CANCELLED)),
    "transferring_in_order": receive_input(TRANSFERRING, b"".join(request(o) for o in range(4, 64, 4))),
    **transferring_requests(TRANSFERRING),
    "transferring_escape_at_cut": receive_input(TRANSFERRING, request(0x7D) + request(0x7E), 4),
    "transferring_done_ignored": receive_input(TRANSFERRING, device_frame(DONE) + request(8)),
    "probing_silence": receive_input(PROBING, b"", silence=True),
    "versionquery_silence": receive_input(VERSION_QUERY, b"", silence=True),
    "versionquery_split_version_then_silence": receive_input(
        VERSION_QUERY, device_frame(VERSION, 0x00020A01), 8, silence=True),
    "transferring_silence": receive_input(TRANSFERRING, request(4), silence=True),
    "finishing_done": receive_input(FINISHING, device_frame(DONE)),
    "finishing_request_then_done": receive_input(FINISHING, request(0) + device_frame(DONE)),
}


def roundtrip_input(content, noise=b""):
    return bytes(content).ljust(8, b"\0") + noise


ROUNDTRIP = {
    "zero": roundtrip_input(b""),
    "ping": roundtrip_input(b"\x50\x00"),
    "data_with_start_byte": roundtrip_input(b"\x50\x04\x11\x22\x7e\x44\x04"),
    "check_byte_is_escape": roundtrip_input(b"\x50\x04\x2b\x00\x00\x00\x00"),
    "all_reserved": roundtrip_input(b"\x7e\x7d\x7e\x7d\x7e\x7d\x7e\x7d"),
    "noise_ends_in_escape": roundtrip_input(b"\x50\x01", b"\x7e\xff\x50\x7d"),
    "noise_ends_in_start": roundtrip_input(b"\x50\x82\x04", b"\x00\x7e"),
    "noise_ends_in_two_starts": roundtrip_input(b"\x50\x82\x04", b"\x00\x7e\x7e"),
    "noise_holds_frames": roundtrip_input(
        b"\x50\x83", device_frame(PRESENT) + bytes.fromhex("7eff5000000000000097") + b"\x7e\x5e\x50"),
}


# fuzz_session: the states its first byte names, and the image of the same size.
(S_PROBING, S_VERSION_QUERY, S_STARTING, S_TRANSFERRING, S_FINISHING, S_AWAITING_REMOVAL,
 S_INFO_PROBING, S_INFO_VERSION_QUERY) = range(8)

SESSION = {
    "probing_present": receive_input(S_PROBING, device_frame(PRESENT)),
    "probing_foreign_present": receive_input(S_PROBING, device_frame(PRESENT, lead=0x51)),
    "probing_whole_update": receive_input(
        S_PROBING, device_frame(PRESENT) + device_frame(VERSION, 0x01000507) + request(0)
        + request(4) + request(IMAGE_SIZE) + device_frame(DONE)),
    "versionquery_version_split": receive_input(S_VERSION_QUERY, device_frame(VERSION, 0x7E7D0102), 9),
    "versionquery_silence": receive_input(S_VERSION_QUERY, b"", silence=True),
    "starting_cancel": receive_input(S_STARTING, device_frame(CANCELLED)),
    "starting_silence": receive_input(S_STARTING, b"", silence=True),
    **transferring_requests(S_TRANSFERRING),
    "transferring_done_too_early": receive_input(S_TRANSFERRING, device_frame(DONE) + request(8)),
    "finishing_request_again": receive_input(
        S_FINISHING, request(0) + request(IMAGE_SIZE + 3) + device_frame(DONE)),
    "finishing_cancel": receive_input(S_FINISHING, device_frame(CANCELLED)),
    "finishing_done_then_more": receive_input(S_FINISHING, device_frame(DONE) + request(4), 5),
    "awaiting_removal_present": receive_input(S_AWAITING_REMOVAL, device_frame(PRESENT) * 3),
    "awaiting_removal_silence": receive_input(S_AWAITING_REMOVAL, device_frame(PRESENT), silence=True),
    "info_probing_handshake": receive_input(
        S_INFO_PROBING, device_frame(PRESENT) + device_frame(VERSION, 0x0A020001) + request(0)),
    "info_versionquery_requests": receive_input(
        S_INFO_VERSION_QUERY, request(0) + device_frame(VERSION, 0x01000507) + device_frame(DONE)),
}


def write(target, seeds):
    folder = ROOT / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    write("fuzz_receive", RECEIVE)
    write("fuzz_hostframe_roundtrip", ROUNDTRIP)
    write("fuzz_session", SESSION)
