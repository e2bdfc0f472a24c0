#!/usr/bin/python3
"""Draws the updater's artwork into assets/: background.png (the 300 x 300
window face), icon-16/32/48/64/128/256.png and icon.ico (16 colours, 32 + 16).
Fixed random seed, so a second run gives byte-identical files.
Usage: /usr/bin/python3 scripts/make_assets.py  (python3-pil, fonts-dejavu-core)
"""
import os
import random
import struct

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

ASSETS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "assets")
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
SS = 4  # supersampling factor for anti-aliased shapes

W = H = 300
VISIBLE_W = 299  # the window is one pixel narrower than the picture
NEWS = (11, 84, 287, 234)        # inclusive pixel boxes
STATUS = (11, 250, 288, 258)
BUTTONS = [(54, 269, 128, 289), (177, 269, 251, 289)]
TITLE = (47, 18, 247, 60)

# Windows' standard 16-colour palette, in the order 4-bit bitmaps expect.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
         (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
         (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
         (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, OLIVE, SILVER, GRAY, YELLOW, WHITE = 0, 3, 7, 8, 11, 15
STARS = [(0.66, 0.28, WHITE), (0.78, 0.44, SILVER), (0.55, 0.16, SILVER)]


def clamp(v):
    """Clamp a number into the 0..255 byte range."""
    return 0 if v < 0 else 255 if v > 255 else int(v)


def noise_layer(rng, w, h, amp):
    """Grey image of uniform noise centred on 128 with +-amp spread."""
    return Image.frombytes("L", (w, h), bytes(
        clamp(128 + rng.uniform(-amp, amp)) for _ in range(w * h)))


def surface(rng):
    """Blue textured face: gradient, soft mottling, fine grain, brushed streaks."""
    base = Image.new("RGB", (W, H))
    ts = [(y / (H - 1), x / (W - 1)) for y in range(H) for x in range(W)]  # darker down/right
    base.putdata([(clamp(30 - 10 * t - 4 * s), clamp(58 - 18 * t - 6 * s),
                   clamp(118 - 30 * t - 8 * s)) for t, s in ts])
    mottle = noise_layer(rng, 19, 19, 60).resize((W, H), Image.BICUBIC)
    mottle = mottle.filter(ImageFilter.GaussianBlur(6))
    grain = noise_layer(rng, W, H, 40)
    streak = noise_layer(rng, W // 6, H, 90).resize((W, H), Image.BILINEAR)
    tex = Image.merge("RGB", [Image.new("L", (W, H), 128)] * 3)
    for layer, weight in ((mottle, 0.45), (grain, 0.22), (streak, 0.13)):
        tex = Image.blend(tex, Image.merge("RGB", [layer] * 3), weight)
    # Overlay-style: (tex - 128) is added to the base colour.
    return ImageChops.add(base, tex, 1.0, -128)


def bevel(img, box, width, light, dark, strength=1.0):
    """Shade a rectangle's edges: lighter top/left, darker bottom/right."""
    x0, y0, x1, y1 = box
    px = img.load()
    for i in range(width):
        f = strength * (1.0 - i / width)
        for x in range(x0 + i, x1 + 1 - i):
            px[x, y0 + i] = mix(px[x, y0 + i], light, f)
            px[x, y1 - i] = mix(px[x, y1 - i], dark, f)
        for y in range(y0 + i + 1, y1 - i):
            px[x0 + i, y] = mix(px[x0 + i, y], light, f * 0.85)
            px[x1 - i, y] = mix(px[x1 - i, y], dark, f * 0.85)


def mix(a, b, f):
    """Linear blend of two RGB tuples, f=0 gives a, f=1 gives b."""
    return tuple(clamp(a[k] + (b[k] - a[k]) * f) for k in range(3))


def rounded_mask(box, radius):
    """Anti-aliased mask of a rounded rectangle given by an inclusive box."""
    big = Image.new("L", (W * SS, H * SS), 0)
    x0, y0, x1, y1 = (v * SS + (SS - 1 if i > 1 else 0) for i, v in enumerate(box))
    ImageDraw.Draw(big).rounded_rectangle((x0, y0, x1, y1), radius * SS, fill=255)
    return big.resize((W, H), Image.BOX)


def inset(img, box, radius, color):
    """Paste a flat dark panel with a faint etched rim (sunken look)."""
    x0, y0, x1, y1 = box
    shadow = rounded_mask((x0 - 1, y0 - 1, x1, y1), radius + 1)  # up-left of the hole
    img.paste((8, 16, 40), (0, 0), shadow.point(lambda v: v * 7 // 10))
    light = rounded_mask((x0, y0, x1 + 1, y1 + 1), radius + 1)  # lit lip down-right
    img.paste((92, 130, 200), (0, 0), light.point(lambda v: v * 4 // 10))
    img.paste(color, (0, 0), rounded_mask(box, radius))


def button(img, box):
    """Raised button plate: own gradient, dark outline, two-pixel bevel."""
    x0, y0, x1, y1 = box
    px = img.load()
    for y in range(y0, y1 + 1):
        t = (y - y0) / (y1 - y0)
        for x in range(x0, x1 + 1):
            grain = px[x, y][2] - 100  # keep a little of the surface texture
            px[x, y] = (clamp(44 - 16 * t + grain * 0.15), clamp(78 - 26 * t + grain * 0.2),
                        clamp(150 - 40 * t + grain * 0.3))
    ImageDraw.Draw(img).rectangle((x0 - 1, y0 - 1, x1 + 1, y1 + 1), outline=(6, 12, 34))
    bevel(img, box, 2, (150, 190, 245), (10, 20, 55), 0.75)


def title(img):
    """Draw QUELMOR in light blue with a soft glow, fitted into TITLE."""
    big = Image.new("L", (1000, 240), 0)  # draw big, crop to the ink, then shrink
    ImageDraw.Draw(big).text((20, 20), "QUELMOR", font=ImageFont.truetype(FONT, 160), fill=255)
    big = big.crop(big.getbbox())
    tx0, ty0, tx1, ty1 = TITLE
    mask = Image.new("L", (W, H), 0)
    mask.paste(big.resize((tx1 - tx0 + 1, ty1 - ty0 + 1), Image.LANCZOS), (tx0, ty0))
    glow_col = Image.new("RGB", (W, H), (90, 170, 255))
    wide = mask.filter(ImageFilter.GaussianBlur(7)).point(lambda v: min(255, v * 2))
    near = mask.filter(ImageFilter.GaussianBlur(2.5))
    for m, k in ((wide, 0.7), (near, 0.9)):
        img.paste(ImageChops.screen(img, glow_col), (0, 0), m.point(lambda v: int(v * k)))
    edge = mask.filter(ImageFilter.MaxFilter(3))
    img.paste((14, 40, 96), (0, 0), ImageChops.subtract(edge, mask).point(lambda v: v // 2))
    fill = Image.new("RGB", (W, H))
    fd = ImageDraw.Draw(fill)
    for y in range(H):  # glassy: pale upper half, deeper blue lower half
        t = max(0.0, min(1.0, (y - ty0) / (ty1 - ty0)))
        c = mix((235, 248, 255), (190, 230, 255), t / 0.45) if t < 0.45 else \
            mix((150, 205, 255), (105, 170, 245), (t - 0.45) / 0.55)
        fd.line((0, y, W, y), fill=c)
    img.paste(fill, (0, 0), mask)


def background():
    """Compose the whole 300 x 300 window face and save it."""
    img = surface(random.Random(1990))
    bevel(img, (0, 0, VISIBLE_W - 1, H - 1), 4, (170, 205, 255), (4, 10, 32))
    for y in range(H):  # hidden last column just repeats its neighbour
        img.putpixel((W - 1, y), img.getpixel((W - 2, y)))
    title(img)
    inset(img, NEWS, 6, (0, 0, 0))
    inset(img, STATUS, 4, (0, 0, 0))
    for b in BUTTONS:
        button(img, b)
    os.makedirs(ASSETS, exist_ok=True)
    img.save(os.path.join(ASSETS, "background.png"))


def moon_masks(size):
    """Coverage masks (disc, crescent) at the given size, box-filtered."""
    n = max(size, 64) * 8
    disc = Image.new("L", (n, n), 0)
    ImageDraw.Draw(disc).ellipse((0, 0, n - 1, n - 1), fill=255)
    cres = Image.new("L", (n, n), 0)
    d = ImageDraw.Draw(cres)
    d.ellipse((0.16 * n, 0.16 * n, 0.80 * n, 0.80 * n), fill=255)   # lit disc
    d.ellipse((0.35 * n, 0.06 * n, 0.91 * n, 0.62 * n), fill=0)     # shadow bite
    return disc.resize((size, size), Image.BOX), cres.resize((size, size), Image.BOX)


def icon_indexed(size):
    """Palette-index grid (None = transparent) for the 16-colour icon."""
    disc, cres = moon_masks(size)
    def pick(dv, cv):  # half-covered disc edge pixels go grey to soften it
        return (None if dv < 110 else YELLOW if cv > 170 else OLIVE if cv > 60
                else GRAY if dv < 200 else BLACK)
    grid = [[pick(disc.getpixel((x, y)), cres.getpixel((x, y))) for x in range(size)]
            for y in range(size)]
    for (fx, fy, c) in STARS if size >= 32 else []:  # stars in the dark part of the disc
        x, y = int(fx * size), int(fy * size)
        grid[y][x] = c if grid[y][x] == BLACK else grid[y][x]
    return grid


def grid_to_png(grid):
    """RGBA image from a palette-index grid."""
    img = Image.new("RGBA", (len(grid), len(grid)))
    img.putdata([(0, 0, 0, 0) if c is None else VGA16[c] + (255,) for row in grid for c in row])
    return img


def ico_image(grid):
    """BITMAPINFOHEADER + palette + 4-bpp XOR + 1-bpp AND mask for one icon."""
    n = len(grid)
    xor_stride, and_stride = (n * 4 + 31) // 32 * 4, (n + 31) // 32 * 4  # rows: 4-byte aligned
    xor, mask = b"", b""
    for row in reversed(grid):  # bitmaps are stored bottom-up
        nib = [c or 0 for c in row]  # transparent pixels are black in the XOR image
        xor += bytes(nib[i] << 4 | nib[i + 1] for i in range(0, n, 2)).ljust(xor_stride, b"\0")
        bits = "".join("1" if c is None else "0" for c in row)  # 1 = transparent
        mask += int(bits.ljust(and_stride * 8, "0"), 2).to_bytes(and_stride, "big")
    # BITMAPINFOHEADER; the height counts XOR and AND mask together, hence n * 2
    header = struct.pack("<IiiHHIIiiII", 40, n, n * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in VGA16)
    return header + palette + xor + mask


def write_ico(grids):
    """Pack several 16-colour images into one .ico file."""
    blobs = [ico_image(g) for g in grids]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for g, blob in zip(grids, blobs):  # directory entry: w, h, colours, planes, bpp
        out += struct.pack("<BBBBHHII", len(g), len(g), 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    with open(os.path.join(ASSETS, "icon.ico"), "wb") as f:
        f.write(out + b"".join(blobs))


def icon_smooth(size):
    """Full-colour anti-aliased moon: black disc, shaded crescent, faint glow."""
    disc, cres = moon_masks(size)
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    img.paste((4, 6, 14, 255), (0, 0), disc)
    glow = cres.filter(ImageFilter.GaussianBlur(size / 28)).point(lambda v: v * 45 // 100)
    img.paste((255, 210, 60, 255), (0, 0), ImageChops.multiply(glow, disc))
    shade = Image.new("RGBA", (size, size))
    sd = ImageDraw.Draw(shade)
    for y in range(size):  # warm gold at the bottom, pale lemon on top
        sd.line((0, y, size, y), fill=mix((255, 246, 140), (236, 170, 20), y / size) + (255,))
    img.paste(shade, (0, 0), cres)
    sd = ImageDraw.Draw(img)
    for (fx, fy, c) in STARS:  # the same stars as the 16-colour icon
        r, x, y = size / (56 if c == WHITE else 80), fx * size, fy * size
        sd.ellipse((x - r, y - r, x + r, y + r), fill=VGA16[c] + (255,))
    rim = ImageChops.subtract(disc, disc.filter(ImageFilter.MinFilter(3)))
    img.paste((70, 70, 80, 255), (0, 0), rim.point(lambda v: v * 6 // 10))
    img.putalpha(disc)
    return img


def icons():
    """Write the 16-colour PNGs, the .ico and the smooth desktop PNGs."""
    grids = [icon_indexed(32), icon_indexed(16)]
    for g in grids:
        grid_to_png(g).save(os.path.join(ASSETS, "icon-%d.png" % len(g)))
    write_ico(grids)
    ico = Image.open(os.path.join(ASSETS, "icon.ico"))
    assert set(ico.info["sizes"]) == {(32, 32), (16, 16)}, ico.info["sizes"]
    for g in grids:  # read back through PIL: must match the PNGs pixel for pixel
        ico.size = (len(g), len(g))
        assert list(ico.convert("RGBA").getdata()) == list(grid_to_png(g).getdata())
    for size in (48, 64, 128, 256):
        icon_smooth(size).save(os.path.join(ASSETS, "icon-%d.png" % size))


if __name__ == "__main__":
    background()
    icons()
