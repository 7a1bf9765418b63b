#!/usr/bin/env python3
"""Draws a timeline that ne2k writes (--timeline FILE.json, the trace-event
JSON format) as an SVG picture: a row of spans per adapter, nested calls
stacked under their caller, port accesses as ticks (reads below, writes
above), each interrupt line as a step, the frames on the wire.

    python3 tools/timeline_svg.py IN.json OUT.svg [--width PIXELS]
"""
import argparse
import json
from html import escape

COLOURS = {"handler": "#4e79a7", "isr": "#e15759", "deferred": "#f28e2b",
           "stall": "#bab0ac", "wire": "#59a14f"}
ROW, GAP, LEFT, TOP = 22, 10, 200, 48


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("input")
    ap.add_argument("output")
    ap.add_argument("--width", type=int, default=900)
    a = ap.parse_args()
    events = json.load(open(a.input))["traceEvents"]
    names = {e["tid"]: e["args"]["name"] for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    title = next((e["args"]["name"] for e in events if e["ph"] == "M" and e["name"] == "process_name"), "")
    timed = [e for e in events if e["ph"] != "M"]
    if not timed:
        raise SystemExit("timeline_svg: no events in " + a.input)
    t0 = min(e["ts"] for e in timed)
    t1 = max(e["ts"] + e.get("dur", 0) for e in timed)
    scale = (a.width - LEFT - 20) / max(t1 - t0, 1e-3)
    x = lambda t: LEFT + (t - t0) * scale

    out, y = [], TOP
    for tid in sorted(names):
        spans = sorted((e for e in timed if e["ph"] == "X" and e["tid"] == tid),
                       key=lambda e: (e["ts"], -e["dur"]))
        ports = [e for e in timed if e.get("cat") == "port" and e["tid"] == tid]
        depth, stack = {}, []
        for s in spans:  # nesting depth: how many open spans hold it
            while stack and stack[-1]["ts"] + stack[-1]["dur"] <= s["ts"]:
                stack.pop()
            depth[id(s)] = len(stack)
            stack.append(s)
        rows = max(depth.values(), default=0) + 1
        top = y
        if ports:  # a band of ticks: writes in its upper half, reads in its lower
            for p in ports:
                up = p["name"].startswith("W ")
                out.append('<line x1="%.1f" x2="%.1f" y1="%d" y2="%d" stroke="%s"><title>%s</title></line>'
                           % (x(p["ts"]), x(p["ts"]), top + (0 if up else 8), top + (7 if up else 15),
                              "#76b7b2" if up else "#9c755f", escape(p["name"])))
            out.append('<text x="8" y="%d" fill="#666">port accesses</text>' % (top + 12))
            top += 18
        for s in spans:
            sy = top + depth[id(s)] * ROW
            w = max(s["dur"] * scale, 1)
            out.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="%s" rx="2"><title>%s (%.3f us)</title>'
                       '</rect>' % (x(s["ts"]), sy, w, ROW - 3, COLOURS.get(s.get("cat"), "#888"),
                                    escape(s["name"]), s["dur"]))
            label, fits = s["name"], int((w - 6) / 6.2)
            if len(label) > fits:  # the first words that fit, else a cut word
                short = " ".join(label.split(" ")[:2])
                label = short if len(short) <= fits else label[:fits - 1] + "…" if fits > 2 else ""
            if label:
                out.append('<text x="%.1f" y="%d" fill="white">%s</text>' % (x(s["ts"]) + 3, sy + 13, escape(label)))
        out.append('<text x="8" y="%d">%s</text>' % (top + 13, escape(names[tid])))
        y = top + rows * ROW + GAP
    lines = sorted({e["name"] for e in timed if e["ph"] == "C"})
    for name in lines:
        steps = sorted((e for e in timed if e["ph"] == "C" and e["name"] == name), key=lambda e: e["ts"])
        pts, level = [(x(t0), y + ROW - 4)], 0
        for e in steps:
            yy = lambda l: y + ROW - 4 - l * (ROW - 8)
            pts += [(x(e["ts"]), yy(level)), (x(e["ts"]), yy(e["args"]["level"]))]
            level = e["args"]["level"]
        pts.append((x(t1), y + ROW - 4 - level * (ROW - 8)))
        out.append('<polyline fill="none" stroke="#e15759" stroke-width="1.5" points="%s"/>'
                   % " ".join("%.1f,%.1f" % p for p in pts))
        out.append('<text x="8" y="%d">%s</text>' % (y + 13, escape(name)))
        y += ROW + GAP
    # The time axis, in microseconds from the first event.
    span_us = t1 - t0
    step = next(s for s in (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10**4, 10**5, 10**6, 10**7)
                if span_us / s <= 10)
    out.append('<line x1="%d" x2="%.1f" y1="%d" y2="%d" stroke="#444"/>' % (LEFT, x(t1), y, y))
    k = 0
    while k * step <= span_us:
        out.append('<line x1="%.1f" x2="%.1f" y1="%d" y2="%d" stroke="#444"/><text x="%.1f" y="%d" '
                   'text-anchor="middle">%g</text>' % (x(t0 + k * step), x(t0 + k * step), y, y + 4,
                                                       x(t0 + k * step), y + 16, k * step))
        k += 1
    out.append('<text x="8" y="%d">µs from %.3f µs (virtual)</text>' % (y + 16, t0))
    height = y + 28
    legend = [("handler call", COLOURS["handler"]), ("service routine", COLOURS["isr"]),
              ("deferred handler", COLOURS["deferred"]), ("stall", COLOURS["stall"]),
              ("frame on the wire", COLOURS["wire"]), ("port write", "#76b7b2"), ("port read", "#9c755f")]
    lx = 8
    for text, colour in legend:
        out.append('<rect x="%d" y="%d" width="10" height="10" fill="%s"/><text x="%d" y="%d">%s</text>'
                   % (lx, 22, colour, lx + 14, 31, text))
        lx += 14 + int(len(text) * 6.2) + 14
    svg = ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="11">\n<rect width="100%%" height="100%%" fill="white"/>\n<text x="8" y="16" '
           'font-weight="bold">%s</text>\n%s\n</svg>\n' % (a.width, height, escape(title), "\n".join(out)))
    open(a.output, "w").write(svg)


if __name__ == "__main__":
    main()
