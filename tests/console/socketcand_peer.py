"""A peer on a bus served by can-serve, through python-can's own socketcand client: sends one frame,
says so, then prints the first frame with id 0x123 that it receives ("123 00224488AABBEEFF").

Usage: python3 socketcand_peer.py PORT BUS
"""

import sys

import can

PATIENCE_S = 10


def main():
    port, channel = int(sys.argv[1]), sys.argv[2]
    bus = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel=channel)
    try:
        bus.send(can.Message(arbitration_id=0x1ABCDEF0, is_extended_id=True, data=b"\xa1\xb2\xc3"))
        print("sent", flush=True)
        while True:
            message = bus.recv(timeout=PATIENCE_S)
            if message is None:
                print("nothing received", flush=True)
                return 1
            if message.arbitration_id == 0x123:
                print(f"{message.arbitration_id:X} {bytes(message.data).hex().upper()}", flush=True)
                return 0
    finally:
        bus.shutdown()


if __name__ == "__main__":
    sys.exit(main())
