#!/usr/bin/env python3
"""The peer of bench_recognition: the same work in plain Python.

send PICTURE URL REPEATS: for each repeat prints the monotonic clock (ns) at
the start, then base64-encodes the picture, form-encodes the text, joins the
body and POSTs it with http.client (the receiving server notes when the body
has arrived, on the same clock).

read REPLY REPEATS: for each repeat prints the milliseconds that json.loads of
the reply bytes and a loop building the rows and the copied text take.
"""
import base64
import http.client
import json
import sys
import time
import urllib.parse


def send(picture_path, url, repeats):
    picture = open(picture_path, "rb").read()
    parts = urllib.parse.urlsplit(url)
    for _ in range(repeats):
        start = time.monotonic_ns()
        text = base64.b64encode(picture).decode("ascii")
        body = ("type=webimage&image=" + urllib.parse.quote_plus("data:image/png;base64," + text)
                + "&image_url=")
        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=60)
        connection.request("POST", parts.path, body=body.encode("ascii"),
                           headers={"Content-Type": "application/x-www-form-urlencoded"})
        connection.getresponse().read()
        connection.close()
        print(start, flush=True)


def read(reply_path, repeats):
    reply = open(reply_path, "rb").read()
    for _ in range(repeats):
        start = time.perf_counter()
        data = json.loads(reply)
        rows = []
        copied = []
        for index, line in enumerate(data["data"]["words_result"]):
            words = line["words"]
            rows.append((str(index + 1), str(line["probability"]["average"]), words))
            copied.append(words + "\r\n")
        all_text = "".join(copied)
        elapsed = (time.perf_counter() - start) * 1000.0
        assert len(rows) == data["data"]["words_result_num"] and all_text
        print(f"{elapsed:.3f}", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "send":
        send(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        read(sys.argv[2], int(sys.argv[3]))
