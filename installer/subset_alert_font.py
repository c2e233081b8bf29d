"""Cuts the recovery alert's font: the glyphs of the alert's fixed texts, taken from a CJK font,
under a family name of its own, then checks that the result covers every character of the texts
outside ASCII (which every desktop font covers).

    subset_alert_font.py SOURCE_FONT TEXTS_FILE OUTPUT

On failure it writes one line to standard error, leaves OUTPUT alone and exits with status 1.
"""
import os
import sys
import unicodedata

from fontTools import subset
from fontTools.ttLib import TTFont

FAMILY = "Trelvo Alert Fallback"
POSTSCRIPT_NAME = "TrelvoAlertFallback"


def fail(message):
    sys.stderr.write("subset_alert_font: %s\n" % message)
    sys.exit(1)


def describe(char):
    return "U+%04X %s (%s)" % (ord(char), unicodedata.name(char, "unnamed"), char)


def needs_outline(char):
    return unicodedata.category(char) not in ("Zs", "Zl", "Zp")


def missing_glyphs(font, chars):
    """The characters among `chars` that the font maps to no glyph, or to an empty one."""
    cmap = font.getBestCmap() or {}
    glyf = font["glyf"] if "glyf" in font else None
    missing = []
    for char in chars:
        name = cmap.get(ord(char))
        if name is None:
            missing.append(char)
        elif glyf is not None and needs_outline(char) and glyf[name].numberOfContours == 0:
            missing.append(char)
    return missing


def rename(font, source_name):
    # A cut-down font must not pass for the original: it gets a name of its own, and its
    # description says where it comes from and what was changed.
    table = font["name"]
    description = (
        "The glyphs of the Trelvo Pro recovery alert's fixed texts, cut from %s by the Trelvo Pro "
        "build and renamed; the glyphs themselves are unchanged." % source_name)
    for name_id, value in ((1, FAMILY), (3, POSTSCRIPT_NAME + "-Regular"), (4, FAMILY),
                           (6, POSTSCRIPT_NAME), (10, description)):
        table.removeNames(nameID=name_id)
        table.setName(value, name_id, 3, 1, 0x409)
    for name_id in (16, 17, 21, 22):
        table.removeNames(nameID=name_id)


def main(argv):
    if len(argv) != 4:
        fail("usage: subset_alert_font.py SOURCE_FONT TEXTS_FILE OUTPUT")
    source, texts_file, output = argv[1:]
    try:
        with open(texts_file, encoding="utf-8") as f:
            texts = f.read()
    except (OSError, UnicodeDecodeError) as e:
        fail("cannot read the alert's texts from %s: %s" % (texts_file, e))
    chars = sorted({c for c in texts if unicodedata.category(c) != "Cc"})
    needed = [c for c in chars if ord(c) > 0x7F]
    if not chars:
        fail("%s holds no text" % texts_file)

    options = subset.Options()
    options.name_IDs = ["*"]
    options.name_languages = ["*"]
    options.notdef_outline = True
    try:
        font = subset.load_font(source, options)
    except Exception as e:  # fontTools raises many kinds for a file that is not a font
        fail("cannot read the font %s: %s" % (source, e))
    source_name = "%s (%s; %s)" % (font["name"].getDebugName(4) or "the source font",
                                   os.path.basename(source),
                                   font["name"].getDebugName(13) or "licence unknown")
    missing = missing_glyphs(font, needed)
    if missing:
        fail("%s has no glyph for %s, needed by the recovery alert's texts" %
             (source, ", ".join(describe(c) for c in missing)))

    subsetter = subset.Subsetter(options)
    subsetter.populate(unicodes=[ord(c) for c in chars])
    subsetter.subset(font)
    rename(font, source_name)

    partial = output + ".partial"
    subset.save_font(font, partial, options)
    cut = TTFont(partial)
    missing = missing_glyphs(cut, needed)
    family = cut["name"].getDebugName(1)
    cut.close()
    if missing or family != FAMILY:
        os.unlink(partial)
        fail("the cut font lost %s" %
             (", ".join(describe(c) for c in missing) if missing else "its family name"))
    os.replace(partial, output)


if __name__ == "__main__":
    main(sys.argv)
