#!/usr/bin/python3
"""The yardstick of gateway_bench: the simplest gateway that does the same job.

It reads the serial device one byte per read call, as a naive receive loop
does, slides a two-byte window over the stream for the record markers, frames
the records of protocol 1 (the protocol of the benchmark, whose records reach
the host in clear: the board has decrypted the radio traffic), parses the
sensor message of each "SD" record and publishes it with paho-mqtt at QoS 1,
retained, to the topic and with the JSON the daemon uses
(docs/sensor-messages.md), printing one line per reading.

What the daemon does besides (the outbox, the node book, discovery, health,
node commands) is left out: the figures compare the path of a reading only.

    baseline_gateway.py --serial-device PATH --broker HOST --broker-port PORT
"""
import argparse
import json
import signal
import sys
import time

import paho.mqtt.client as mqtt
import serial

# Type byte: kind, then each field as (name, signed, decimals).
KINDS = {
    0x01: ("climate", [("temperature", True, 2), ("humidity", False, 2), ("battery_mv", False, 0)]),
    0x02: ("distance", [("distance_mm", False, 0), ("battery_mv", False, 0)]),
    0x03: ("water", [("water_temperature", True, 2), ("battery_mv", False, 0)]),
    0x04: ("battery", [("battery_mv", False, 0)]),
}


def parse_body(body):
    """The kind and its (name, value, decimals) fields, or None for a body
    of an unknown type or of the wrong length."""
    if not body or body[0] not in KINDS:
        return None
    kind, fields = KINDS[body[0]]
    if len(body) != 1 + 2 * len(fields):
        return None
    values = []
    for i, (name, signed, decimals) in enumerate(fields):
        raw = int.from_bytes(body[1 + 2 * i:3 + 2 * i], "big", signed=signed)
        values.append((name, raw / 10**decimals if decimals else raw, decimals))
    return kind, values


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--serial-device", required=True)
    parser.add_argument("--broker", default="127.0.0.1")
    parser.add_argument("--broker-port", type=int, default=1883)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    client = mqtt.Client(client_id="baseline-gateway", protocol=mqtt.MQTTv5)
    client.connect(args.broker, args.broker_port, keepalive=60)
    client.loop_start()

    ser = serial.Serial(args.serial_device, 115200, timeout=1)
    window = b""
    while True:
        byte = ser.read(1)
        if not byte:
            continue
        window = (window + byte)[-2:]
        if len(window) < 2:
            continue
        if window == b"LG":
            line = b""
            while not line.endswith(b"\n"):
                byte = ser.read(1)
                if not byte:
                    break
                line += byte
            text = line.decode("ascii", "replace").strip()
            print(f"[GW Log] {text}", flush=True)
            if text.startswith("Press"):
                ser.write(b"r")
        elif window == b"HL":
            version = ser.read(1)
            identity = b"".join(ser.read(1) for _ in range(30))
            print(f"Protocol version {version.hex()}, gateway UID "
                  f"{int.from_bytes(identity[4:8], 'big')}", flush=True)
            ser.write(b"TC")
            print("Waking Duzediv Eri up", flush=True)
        elif window in (b"SD", b"SI"):
            n = ser.read(1)
            if not n:
                continue
            payload = b"".join(ser.read(1) for _ in range(n[0]))
            if len(payload) < 7:
                continue
            uid = int.from_bytes(payload[0:4], "big")
            sender = payload[4]
            rssi = -payload[6]
            parsed = parse_body(payload[7:])
            if parsed is None:
                print(f"Sender {sender}: Could not parse msg. RSSI: {rssi}", flush=True)
            elif window == b"SI":
                print(f"Sender {sender}: Duplicate msg \t RSSI: {rssi} ", flush=True)
            else:
                kind, values = parsed
                reading = {"ts": int(time.time() * 1000), "rssi": rssi}
                reading.update((name, value) for name, value, _ in values)
                client.publish(f"sensor/{uid}/{kind}", json.dumps(reading, separators=(",", ":")),
                               qos=1, retain=True)
                shown = " ".join(f"{name}={value:.{decimals}f}" for name, value, decimals in values)
                print(f"Sender {sender}: {kind} {shown} \t RSSI: {rssi}", flush=True)
        else:
            continue
        window = b""


if __name__ == "__main__":
    main()
