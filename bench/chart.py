"""A small PNG bar chart drawn with the standard library alone (zlib and a
built-in 5x7 pixel font), so the benchmark needs no imaging package."""

import struct
import zlib
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

# 5x7 glyphs, one string of five cells per row; text is drawn in capitals.
_GLYPHS = {
    "A": [" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "B": ["#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "],
    "C": [" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "],
    "D": ["#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "],
    "E": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"],
    "F": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "],
    "G": [" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"],
    "H": ["#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "I": [" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "J": ["  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "],
    "K": ["#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"],
    "L": ["#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"],
    "M": ["#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"],
    "N": ["#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"],
    "O": [" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "P": ["#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "],
    "Q": [" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"],
    "R": ["#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"],
    "S": [" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "],
    "T": ["#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "],
    "U": ["#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "V": ["#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "],
    "W": ["#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "],
    "X": ["#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"],
    "Y": ["#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "],
    "Z": ["#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"],
    "0": [" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "],
    "1": ["  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "2": [" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"],
    "3": ["#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "],
    "4": ["   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "],
    "5": ["#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "],
    "6": ["  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "],
    "7": ["#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "],
    "8": [" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "],
    "9": [" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "],
    " ": ["     "] * 7,
    ".": ["     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "],
    ",": ["     ", "     ", "     ", "     ", " ##  ", "  #  ", " #   "],
    ":": ["     ", " ##  ", " ##  ", "     ", " ##  ", " ##  ", "     "],
    "%": ["##   ", "##  #", "   # ", "  #  ", " #   ", "#  ##", "   ##"],
    "/": ["     ", "    #", "   # ", "  #  ", " #   ", "#    ", "     "],
    "(": ["   # ", "  #  ", " #   ", " #   ", " #   ", "  #  ", "   # "],
    ")": [" #   ", "  #  ", "   # ", "   # ", "   # ", "  #  ", " #   "],
    "-": ["     ", "     ", "     ", "#####", "     ", "     ", "     "],
    "+": ["     ", "  #  ", "  #  ", "#####", "  #  ", "  #  ", "     "],
    "=": ["     ", "     ", "#####", "     ", "#####", "     ", "     "],
    "<": ["   # ", "  #  ", " #   ", "#    ", " #   ", "  #  ", "   # "],
    ">": [" #   ", "  #  ", "   # ", "    #", "   # ", "  #  ", " #   "],
    "_": ["     ", "     ", "     ", "     ", "     ", "     ", "#####"],
    "'": ["  #  ", "  #  ", " #   ", "     ", "     ", "     ", "     "],
    "?": [" ### ", "#   #", "    #", "   # ", "  #  ", "     ", "  #  "],
}

WHITE = (255, 255, 255)
BLACK = (20, 20, 20)
DARK_GREY = (90, 90, 90)
BLUE = (52, 101, 164)
GREEN = (78, 154, 6)
RED = (204, 0, 0)
ORANGE = (245, 121, 0)
LIGHT_BLUE = (114, 159, 207)
BROWN = (143, 89, 2)
PURPLE = (117, 80, 123)
TEAL = (6, 152, 154)


class Canvas:
    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.pixels = bytearray(WHITE * (width * height))

    def rect(self, x, y, w, h, colour):
        x0, y0 = max(0, int(x)), max(0, int(y))
        x1, y1 = min(self.width, int(x + w)), min(self.height, int(y + h))
        if x1 <= x0 or y1 <= y0:
            return
        row = bytes(colour) * (x1 - x0)
        for yy in range(y0, y1):
            at = (yy * self.width + x0) * 3
            self.pixels[at:at + len(row)] = row

    def text(self, x, y, text, colour=BLACK, scale=2):
        for ch in text.upper():
            glyph = _GLYPHS.get(ch, _GLYPHS["?"])
            for gy, line in enumerate(glyph):
                for gx, cell in enumerate(line):
                    if cell == "#":
                        self.rect(x + gx * scale, y + gy * scale, scale, scale, colour)
            x += 6 * scale

    def png(self):
        raw = bytearray()
        stride = self.width * 3
        for y in range(self.height):
            raw.append(0)
            raw += self.pixels[y * stride:(y + 1) * stride]

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
                + chunk(b"IEND", b""))


@dataclass
class Bar:
    value: float
    colour: tuple
    caption: str  # right of the plot
    label: Optional[str] = None  # left of it, under its row's heading


@dataclass
class Row:
    label: str
    bars: List[Bar]
    marker: Optional[float] = None  # drawn as a red tick across the row's bars

    @property
    def headed(self):
        """Bars with labels of their own are drawn under a heading line with the row's label."""
        return bool(self.bars) and self.bars[0].label is not None

    def lines(self):
        return max(1, len(self.bars)) + (1 if self.headed else 0)


@dataclass
class Panel:
    title: str
    unit: str  # under the panel
    rows: List[Row]
    scale_max: float  # values beyond it are cut, with a ">"
    legend: List[Tuple[tuple, str]] = field(default_factory=list)  # (colour, text)


def draw_chart(title, panels, width=1040):
    row_height = 22
    bar_height = 14
    label_width = 380
    value_width = 150
    plot_width = width - label_width - value_width - 40
    height = 50
    for panel in panels:
        height += 40 + sum(row_height * row.lines() + 8 for row in panel.rows) + 40
        height += 22 * len(panel.legend)
    canvas = Canvas(width, height)
    canvas.text(20, 16, title, BLACK, 2)
    y = 50
    for panel in panels:
        canvas.text(20, y, panel.title, BLACK, 2)
        y += 30
        top = y
        scale_max = panel.scale_max
        x0 = label_width

        def x_of(value):
            return x0 + plot_width * max(0.0, min(value, scale_max)) / scale_max

        bottom = top + sum(row_height * row.lines() + 8 for row in panel.rows)
        if not any(row.headed for row in panel.rows):
            canvas.rect(x0, top - 4, 1, bottom - top, BLACK)
        for row in panel.rows:
            canvas.text(20, y + 2, row.label, BLACK, 2)
            if row.headed:
                y += row_height
            row_top = y
            for bar in row.bars:
                if bar.label is not None:
                    canvas.text(40, y + 1, bar.label, bar.colour, 2)
                canvas.rect(x0, y, max(1, x_of(bar.value) - x0), bar_height, bar.colour)
                if bar.value > scale_max:
                    canvas.text(x_of(scale_max) - 12, y + 1, ">", WHITE, 2)
                canvas.text(x0 + plot_width + 16, y + 1, bar.caption, bar.colour, 2)
                y += row_height
            if row.headed:
                canvas.rect(x0, row_top - 4, 1, y - row_top + 4, BLACK)
            if row.marker is not None:
                canvas.rect(x_of(row.marker) - 1, row_top - 3, 3, row_height * len(row.bars), RED)
            y += 8
        canvas.text(20, bottom + 2, panel.unit, DARK_GREY, 2)
        y = bottom + 26
        for colour, text in panel.legend:
            canvas.rect(20, y + 1, 14, 14, colour)
            canvas.text(42, y + 1, text, DARK_GREY, 2)
            y += 22
        y += 14
    return canvas.png()
