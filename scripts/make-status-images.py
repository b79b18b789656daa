#!/usr/bin/python3
"""Draws the status-screen artwork into engine/resources/ (or the directory
given as the only argument): 20 spinner frames and three icons, black
artwork that the service turns white when it loads it.

  spinner_00.png .. spinner_19.png  64 x 64 RGB, opaque: a ring of four
      arcs on white; each frame is the previous one turned 4.5 degrees
      counter-clockwise, so twenty frames make the quarter turn after which
      the ring looks the same again.
  usb.png          120 x 120 grey + alpha: the USB trident.
  wifi.png         128 x 128 grey + alpha: three arcs over a dot.
  usb_crossed.png  120 x 120 RGBA: the trident crossed out by an X.

Needs Debian's python3-cairo; run with the system python3. The PNG files
are written here rather than by cairo so that the colour type of each is
fixed and the bytes depend only on the drawing.
"""
import math
import os
import sys

import cairo

from png_file import write_png

SPINNER_FRAMES = 20
SPINNER_STEP_DEGREES = 4.5


def pixels(surface):
    """(B, G, R, A) rows of an ARGB32 or RGB24 surface, premultiplied."""
    surface.flush()
    data = bytes(surface.get_data())
    stride = surface.get_stride()
    width = surface.get_width()
    return [data[y * stride:y * stride + 4 * width] for y in range(surface.get_height())]


def save_rgb(surface, path):
    rows = [bytes(b for i in range(0, len(r), 4) for b in (r[i + 2], r[i + 1], r[i])) for r in pixels(surface)]
    write_png(path, surface.get_width(), surface.get_height(), 2, rows)


def save_black_with_alpha(surface, path, color_type):
    """Black artwork: only the coverage matters, stored as grey or RGBA."""
    black = b"\x00" if color_type == 4 else b"\x00\x00\x00"
    rows = [b"".join(black + bytes([r[i + 3]]) for i in range(0, len(r), 4)) for r in pixels(surface)]
    write_png(path, surface.get_width(), surface.get_height(), color_type, rows)


def spinner_frame(index):
    surface = cairo.ImageSurface(cairo.FORMAT_RGB24, 64, 64)
    cr = cairo.Context(surface)
    cr.set_source_rgb(1, 1, 1)
    cr.paint()
    cr.set_source_rgb(0, 0, 0)
    outer, inner, arc, gap = 31.0, 23.0, 60.0, 30.0
    # y grows downwards, so a counter-clockwise turn is a negative angle.
    turn = -index * SPINNER_STEP_DEGREES
    for quarter in range(4):
        start = math.radians(turn + quarter * (arc + gap))
        end = start + math.radians(arc)
        cr.new_sub_path()
        cr.arc(32, 32, outer, start, end)
        cr.arc_negative(32, 32, inner, end, start)
        cr.close_path()
    cr.fill()
    return surface


def draw_trident(cr):
    cr.set_source_rgba(0, 0, 0, 1)
    cr.set_line_width(6)
    cr.set_line_cap(cairo.LINE_CAP_ROUND)
    cr.set_line_join(cairo.LINE_JOIN_ROUND)
    cr.move_to(60, 100)
    cr.line_to(60, 22)
    cr.move_to(60, 80)
    cr.line_to(34, 62)
    cr.line_to(34, 46)
    cr.move_to(60, 68)
    cr.line_to(86, 50)
    cr.line_to(86, 38)
    cr.stroke()
    cr.move_to(60, 6)
    cr.line_to(49, 25)
    cr.line_to(71, 25)
    cr.close_path()
    cr.fill()
    cr.arc(60, 104, 9, 0, 2 * math.pi)
    cr.fill()
    cr.arc(34, 40, 7, 0, 2 * math.pi)
    cr.fill()
    cr.rectangle(79, 25, 14, 14)
    cr.fill()


def usb_icon(crossed):
    surface = cairo.ImageSurface(cairo.FORMAT_ARGB32, 120, 120)
    cr = cairo.Context(surface)
    draw_trident(cr)
    if crossed:
        cr.set_line_cap(cairo.LINE_CAP_ROUND)
        # A clear margin along the X keeps it readable over the trident.
        for width, operator in ((14, cairo.OPERATOR_CLEAR), (8, cairo.OPERATOR_OVER)):
            cr.set_operator(operator)
            cr.set_line_width(width)
            cr.move_to(14, 14)
            cr.line_to(106, 106)
            cr.move_to(106, 14)
            cr.line_to(14, 106)
            cr.stroke()
    return surface


def wifi_icon():
    surface = cairo.ImageSurface(cairo.FORMAT_ARGB32, 128, 128)
    cr = cairo.Context(surface)
    cr.set_source_rgba(0, 0, 0, 1)
    cr.arc(64, 104, 9, 0, 2 * math.pi)
    cr.fill()
    cr.set_line_width(11)
    cr.set_line_cap(cairo.LINE_CAP_ROUND)
    for radius in (30, 52, 74):
        cr.new_sub_path()
        cr.arc(64, 104, radius, math.radians(-135), math.radians(-45))
    cr.stroke()
    return surface


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "engine", "resources")
    os.makedirs(out, exist_ok=True)
    for index in range(SPINNER_FRAMES):
        save_rgb(spinner_frame(index), os.path.join(out, "spinner_%02d.png" % index))
    save_black_with_alpha(usb_icon(False), os.path.join(out, "usb.png"), 4)
    save_black_with_alpha(wifi_icon(), os.path.join(out, "wifi.png"), 4)
    save_black_with_alpha(usb_icon(True), os.path.join(out, "usb_crossed.png"), 6)


if __name__ == "__main__":
    main()
