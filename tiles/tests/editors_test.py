"""Tiles edited by real image programs pump back to the colours the programs show.

Usage: editors_test.py VREL SAMPLES WORKDIR. Each round dumps the sample archive, edits some
tiles with ImageMagick, Pillow, pngquant or netpbm, pumps the result and checks every tile
against a reference decoded here from the edited files' own bytes.
"""
import functools, os, shlex, shutil, struct, subprocess, sys, zlib

vrel, samples, work = sys.argv[1:4]
py = shlex.quote(sys.executable)


def pil(code, to="{d}"):
    code = "import sys; from PIL import Image; a, b = sys.argv[1:]; " + code
    return py + " -c " + shlex.quote(code) + " {s} " + to


# alpha 96..156 in a pattern that puts 127, 128 and 129 on every colour of a tile
soft = ("al = Image.new('L', im.size); al.putdata([96 + i * 7 % 61 for i in range(im.width * im.height)]); "
        "im.putalpha(al); ")

# (tile, tile dumped it starts from, what, command); {s} the dumped image, {d} the edited one,
# {t} scratch. The rest of 0..13 stay untouched, 3 and 10 empty where no edit fills them.
rounds = [[
    (0, 0, "ImageMagick re-save", "convert {s} {d}"),
    (1, 1, "ImageMagick -transparent", "convert {s} -transparent 'rgb(204,32,32)' {d}"),
    (3, 4, "pngquant 16 of RGBA", "convert {s} -transparent 'rgb(252,140,20)' PNG32:{t} && "
                                  "pngquant --force --output {d} 16 {t}"),
    (4, 4, "ImageMagick -colors 16", "convert {s} -colors 16 {d}"),
    (5, 5, "ImageMagick PNG24", "convert {s} PNG24:{d}"),
    # the palette file holds (12, 8, 8) at 176 and 208: matched pixels go to 176, index 208 stays
    (6, 6, "Pillow recolour", pil("im = Image.open(a); p = im.getpalette(); p[255:258] = [12, 8, 8]; "
                                  "im.putpalette(p); [im.putpixel((x, 0), 208) for x in range(8)]; "
                                  "im.save(b)")),
    (8, 8, "ImageMagick -rotate 90", "convert {s} -rotate 90 {d}"),
    (9, 9, "Pillow soft RGBA", pil("im = Image.open(a).convert('RGBA'); " + soft + "im.save(b)")),
    (10, 2, "ImageMagick PNG32", "convert {s} PNG32:{d}"),
    (2, 2, "ImageMagick alpha 50%", "convert {s} -alpha set -channel A -evaluate set 50% {d}"),
    (11, 11, "ImageMagick PNG48", "convert {s} -depth 16 PNG48:{d}"),
    (12, 12, "netpbm", "pngtopnm {s} | pnmtopng > {d}"),
    (13, 13, "Pillow adaptive", pil("Image.open(a).convert('RGB')"
                                    ".convert('P', palette=Image.Palette.ADAPTIVE).save(b)")),
], [
    (0, 0, "ImageMagick -depth 2", "convert {s} -depth 2 {d}"),
    (1, 1, "ImageMagick re-save", "convert {s} {d}"),
    (4, 4, "ImageMagick PNG64", "convert {s} -transparent 'rgb(252,140,20)' -depth 16 PNG64:{d}"),
    (5, 5, "ImageMagick PNG24 key", "convert {s} -transparent 'rgb(252,0,252)' PNG24:{d}"),
    (6, 6, "Pillow transparency", pil("Image.open(a).save(b, transparency=85)")),
    (8, 8, "Pillow soft LA", pil("im = Image.open(a).convert('LA'); " + soft + "im.save(b)")),
    # the 16-bit key shares its high byte with opaque pixels
    (9, 9, "ImageMagick grey 16 key", "convert {s} -transparent 'rgb(252,0,252)' -colorspace Gray -depth 16 "
                                      "-define png:bit-depth=16 {d}"),
    (11, 11, "ImageMagick grey key", "convert {s} -transparent 'rgb(252,0,252)' -colorspace Gray {d}"),
    (12, 9, "pngquant 8 of soft RGBA",
     pil("im = Image.open(a).convert('RGBA'); " + soft + "im.save(b)", "{t}") +
     " && pngquant --force --output {d} 8 {t}"),
    (13, 13, "Pillow re-save", pil("Image.open(a).save(b)")),
    # transparency alone, on the tile's commonest opaque index: the palette bytes stay
    (10, 2, "Pillow transparency only", pil("im = Image.open(a); d = list(im.getdata()); "
                                            "im.save(b, transparency=max(set(d) - {{255}}, key=d.count))")),
]]


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    i = 8
    while i < len(data):
        n, = struct.unpack(">I", data[i:i + 4])
        yield data[i + 4:i + 8], data[i + 8:i + 8 + n]
        i += 12 + n


def decode(path):
    """Width, height, colour type, palette as RGBA (type 3 only), and the pixels: palette
    indices for type 3, else RGBA narrowed to 8 bits with the tRNS colour key applied."""
    ch, idat = {}, b""
    for t, d in chunks(open(path, "rb").read()):
        ch[t] = d
        if t == b"IDAT":
            idat += d
    w, h, depth, ct, _, _, interlace = struct.unpack(">IIBBBBB", ch[b"IHDR"])
    assert not interlace, path
    nch = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[ct]
    bpp, stride = max(1, nch * depth // 8), (w * nch * depth + 7) // 8
    raw, prev, samples = zlib.decompress(idat), bytearray(stride), []
    for y in range(h):
        f, row = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a, b, c = (row[i - bpp] if i >= bpp else 0), prev[i], (prev[i - bpp] if i >= bpp else 0)
            row[i] = (row[i] + [0, a, b, (a + b) // 2, paeth(a, b, c)][f]) & 255
        prev = row
        if depth == 16:
            samples += [row[i] << 8 | row[i + 1] for i in range(0, w * nch * 2, 2)]
        else:
            samples += [row[k * depth // 8] >> (8 - depth - k * depth % 8) & (1 << depth) - 1
                        for k in range(w * nch)]
    if ct == 3:
        plte, trns = ch[b"PLTE"], ch.get(b"tRNS", b"")
        pal = [tuple(plte[3 * k:3 * k + 3]) + (trns[k] if k < len(trns) else 255,)
               for k in range(len(plte) // 3)]
        return w, h, ct, pal, samples
    key = struct.unpack(">%dH" % (len(ch[b"tRNS"]) // 2), ch[b"tRNS"]) if b"tRNS" in ch else None
    to8 = (lambda s: s >> 8) if depth == 16 else (lambda s: s * 255 // ((1 << depth) - 1))
    px = []
    for k in range(0, len(samples), nch):
        s = samples[k:k + nch]
        colour, alpha = s[:3] if ct in (2, 6) else s[:1] * 3, to8(s[-1]) if ct in (4, 6) else 255
        if key is not None and tuple(s) == key:
            alpha = 0
        px.append(tuple(map(to8, colour)) + (alpha,))
    return w, h, ct, None, px


palbytes = open(os.path.join(samples, "palette.dat"), "rb").read()
assert len(palbytes) == 768
R, G, B = ([palbytes[3 * e + ch] * 4 for e in range(256)] for ch in range(3))


@functools.lru_cache(maxsize=None)
def nearest(r, g, b, a):
    if a <= 128:
        return 255
    best, idx = 210000, 255
    for e in range(256):
        d = (R[e] - r) ** 2 + (G[e] - g) ** 2 + (B[e] - b) ** 2
        if d < best:
            best, idx = d, e
    return idx


def missing(colours):
    """How many of the matched colours the palette file lacks (transparent ones it has by rule)."""
    return len({c[:3] for c in colours if c[3] > 128 and (R[nearest(*c)], G[nearest(*c)], B[nearest(*c)]) != c[:3]})


def colournote(path, paletted, transparent, reordered, n, count):
    """The note: pixels made transparent by their alpha, opaque colours found at another index,
    colours the palette lacks; None when there is nothing to say."""
    says = ["%d pixel%s made transparent" % (transparent, "" if transparent == 1 else "s")] if transparent else []
    says += ["palette reordered"] if reordered else []
    if n:
        says.append("1 colour not in the palette; nearest used" if n == 1 else
                    "%d colours not in the palette; nearest used" % n)
    elif reordered or (not paletted and transparent < count):
        says.append("every colour found exactly")
    if not says:
        return None
    return path + (": " if paletted else ": not a palette image; ") + "; ".join(says)


def expect(path):
    """Width, height, indices row by row, and the note the pump prints (None for none)."""
    w, h, ct, pal, px = decode(path)
    if ct != 3:
        clear = sum(c[3] <= 128 for c in px)
        return w, h, [nearest(*c) for c in px], colournote(path, False, clear, False, missing(px), len(px))
    # an entry of the dumped colour, opaque by rule (alpha above 128), keeps its index
    dumped = [(R[k] & 255, G[k] & 255, B[k] & 255) for k in range(256)]
    differ = {k for k in px if k < len(pal) and (pal[k][:3] != dumped[k] or pal[k][3] <= 128)}
    out = [nearest(*pal[k]) if k in differ else k for k in px]
    clear = sum(k in differ and pal[k][3] <= 128 and k != 255 for k in px)
    moved = any(pal[k][3] > 128 and nearest(*pal[k]) != k and (R[nearest(*pal[k])], G[nearest(*pal[k])],
                B[nearest(*pal[k])]) == pal[k][:3] for k in differ)
    note = colournote(path, True, clear, moved, missing([pal[k] for k in differ]), len(px))
    return w, h, out, note if differ else None


def readart(path):
    """{tile: (width, height, anm word, pixel bytes column after column)}"""
    b = open(path, "rb").read()
    _, _, first, last = struct.unpack("<IIii", b[:16])
    n = last - first + 1
    ws, hs = struct.unpack_from("<%dH" % n, b, 16), struct.unpack_from("<%dH" % n, b, 16 + 2 * n)
    anm, off, tiles = struct.unpack_from("<%dI" % n, b, 16 + 4 * n), 16 + 8 * n, {}
    for i in range(n):
        tiles[first + i] = (ws[i], hs[i], anm[i], b[off:off + ws[i] * hs[i]])
        off += ws[i] * hs[i]
    assert off == len(b), path
    return tiles


def main():
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    sample = readart(os.path.join(samples, "tiles0000.art"))
    faults = []
    for r, edits in enumerate(rounds):
        dumped, edited, out = (os.path.join(work, n % r) for n in ("dump%d", "edit%d", "tiles%d.art"))
        os.makedirs(dumped)
        subprocess.run([vrel, "dump", os.path.join(samples, "tiles0000.art"),
                        os.path.join(samples, "palette.dat"), dumped], check=True, capture_output=True)
        shutil.copytree(dumped, edited)
        for tile, src, _, cmd in edits:
            q = {k: shlex.quote(os.path.join(d, "tile%03d.png" % t))
                 for k, d, t in (("s", dumped, src), ("d", edited, tile), ("t", work, 900 + tile))}
            subprocess.run(cmd.format(**q), shell=True, check=True)
        p = subprocess.run([vrel, "pump", out, os.path.join(samples, "palette.dat"), edited],
                           capture_output=True, text=True)
        if p.returncode != 0:
            faults.append("round %d: pump exit %d: %s" % (r, p.returncode, p.stderr.splitlines()[-2:]))
            continue
        art, lines = readart(out), p.stderr.splitlines()
        assert sorted(art) == sorted(sample), "round %d: tiles %s" % (r, sorted(art))
        for t in sorted(art):
            img = os.path.join(edited, "tile%03d.png" % t)
            what = "round %d tile %d (%s)" % (r, t, next((l for e, _, l, _ in edits if e == t), "untouched"))
            notes = [l for l in lines if l.startswith(img + ":")]
            w, h, anm, cols = art[t]
            if anm != sample[t][2]:
                faults.append("%s: anm word %08x, not %08x" % (what, anm, sample[t][2]))
            if not any(e[0] == t for e in edits):
                if art[t] != sample[t] or notes:
                    faults.append("%s: changed, or noted %s" % (what, notes))
                continue
            ew, eh, idx, note = expect(img)
            if (w, h) != (ew, eh):
                faults.append("%s: %dx%d, not %dx%d" % (what, w, h, ew, eh))
                continue
            want = bytes(idx[y * w + x] for x in range(w) for y in range(h))
            wrong = sum(a != b for a, b in zip(cols, want))
            if wrong:
                faults.append("%s: %d of %d pixels not the reference" % (what, wrong, w * h))
            if notes != ([note] if note else []):
                faults.append("%s: noted %s, not %s" % (what, notes, note))
    print("\n".join(faults))
    print("%d faults" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
