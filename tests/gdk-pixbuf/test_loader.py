#!/usr/bin/python3
# The gdk-pixbuf loader through GdkPixbuf itself (GDK_PIXBUF_MODULE_FILE names a cache
# holding only our loader): every sample equals `kdz decode`, at-size loads and the
# thumbnailer entry give thumbnails, broken and hostile files end in a GError, and the
# MIME entry names .kdz files and "QEM2" data.
# usage: test_loader.py KDZ_TOOL SOURCE_DIR LOADER_BUILD_DIR
import glob
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

tool, src, built = sys.argv[1:4]
samples = sorted(glob.glob(os.path.join(src, "samples", "*.kdz")))
hostile = sorted(glob.glob(os.path.join(src, "fuzz", "corpus", "decode_fuzzer", "*")))
failures = []
work = tempfile.mkdtemp()

# gdk-pixbuf picks a loader by the MIME type that shared-mime-info finds, so the MIME
# entry goes into a private data folder ahead of the system's before GIO starts.
mime = os.path.join(work, "share", "mime")
os.makedirs(os.path.join(mime, "packages"))
shutil.copy(os.path.join(src, "gdk-pixbuf", "kdz-mime.xml"), os.path.join(mime, "packages", "kdz.xml"))
os.environ["XDG_DATA_DIRS"] = os.pathsep.join([os.path.join(work, "share"), "/usr/local/share", "/usr/share"])
os.environ["XDG_DATA_HOME"] = os.path.join(work, "home")
subprocess.run(["update-mime-database", mime], check=True)

import gi  # noqa: E402

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def pixbuf_rgb(pb):
    stride, row = pb.get_rowstride(), pb.get_width() * pb.get_n_channels()
    data = pb.read_pixel_bytes().get_data()
    return b"".join(data[y * stride:y * stride + row] for y in range(pb.get_height()))


def load_bytes(data):
    loader = GdkPixbuf.PixbufLoader()
    try:
        loader.write(data)
    finally:
        loader.close()  # raises the GError of the decode
    return loader.get_pixbuf()


for path in samples:
    name = os.path.basename(path)
    ppm = os.path.join(work, "tool.ppm")
    subprocess.run([tool, "decode", "--24bit", path, ppm], check=True)
    magic, w, h, _, want = open(ppm, "rb").read().split(maxsplit=4)
    pb = GdkPixbuf.Pixbuf.new_from_file(path)
    check((pb.get_width(), pb.get_height(), pb.get_has_alpha()) == (int(w), int(h), False), name + ": size")
    check(pixbuf_rgb(pb) == want, name + ": pixels equal kdz decode")
    fmt, fw, fh = GdkPixbuf.Pixbuf.get_file_info(path)
    check(fmt and fmt.get_name() == "kdz" and (fw, fh) == (int(w), int(h)), name + ": file info")
    small = GdkPixbuf.Pixbuf.new_from_file_at_size(path, 64, 64)
    check(max(small.get_width(), small.get_height()) == 64, name + ": at-size load")

# The decodes ran on the library's threads, as the tool's do: its helpers stay, asleep.
if sys.platform.startswith("linux") and (os.cpu_count() or 1) >= 2:
    names = [open("/proc/self/task/%s/comm" % t).read().strip() for t in os.listdir("/proc/self/task")]
    check("kdz-helper" in names, "the loader decodes on the library's helper threads")
else:
    print("not run: the helper-thread check (needs Linux and 2 cores)")

# The thumbnailer entry's own command line, as a file manager runs it.
exec_line = next(line for line in open(os.path.join(built, "kdz.thumbnailer")) if line.startswith("Exec="))
thumb = os.path.join(work, "thumb.png")
uri = Gio.File.new_for_path(samples[0]).get_uri()
args = [a.replace("%s", "128").replace("%u", uri).replace("%o", thumb) for a in shlex.split(exec_line[5:])]
run = subprocess.run(args, capture_output=True)
check(run.returncode == 0 and os.path.exists(thumb), "thumbnailer ran: %s" % run.stderr.decode())
if os.path.exists(thumb):
    t = GdkPixbuf.Pixbuf.new_from_file(thumb)
    check(max(t.get_width(), t.get_height()) == 128, "thumbnail is 128 pixels")

sample = open(samples[0], "rb").read()
for label, data in [("empty", b""), ("signature only", b"QEM2.3aZ"), ("truncated header", sample[:40]),
                    ("planes beyond the end", sample[:len(sample) // 3]), ("too large", sample + bytes(80000))]:
    try:
        load_bytes(data)
        check(False, label + ": loaded")
    except GLib.Error as e:
        check(e.domain == "gdk-pixbuf-error-quark" and e.message, label + ": GError " + e.message)
for path in hostile:  # each either decodes or fails cleanly; a crash ends this script
    try:
        check(load_bytes(open(path, "rb").read()) is not None, path + ": neither a pixbuf nor an error")
    except GLib.Error:
        pass

by_name = Gio.content_type_guess("picture.kdz", None)[0]
by_content = Gio.content_type_guess("picture", sample)[0]
check((by_name, by_content) == ("image/qem-kdz",) * 2, "MIME by name and content: %s %s" % (by_name, by_content))

shutil.rmtree(work)
print("%d sample(s), %d hostile file(s); %s" % (len(samples), len(hostile),
      "all checks passed" if not failures else "%d check(s) failed" % len(failures)))
sys.exit(1 if failures else 0)
