# man/kdz.1: renders without a warning, names every option that `kdz -h` shows (and
# no option the tool lacks), every command's forms, and the tool's version.
source "$(dirname "$0")/common.bash"
command -v groff >/dev/null || { echo "not run: groff missing (groff-base)"; exit 77; }
page="$SRC/man/kdz.1"

groff -man -ww -z "$page" 2>warnings.txt || fail "groff failed on $page"
[ -s warnings.txt ] && fail "groff warns about $page: $(head -5 warnings.txt)"
groff -man -Tascii -P-cbou "$page" >page.txt 2>/dev/null || fail "groff -Tascii failed"
{ "$KDZ" -h; for c in info decode encode; do "$KDZ" $c -h; done; } >help.txt || fail "kdz -h failed"
"$KDZ" --version >version.txt || fail "kdz --version failed"

python3 - <<'PY' || fail "man page and kdz -h disagree"
import re, sys
page = open("page.txt").read()
page = re.sub(r"-\n\s+", "-", page)  # words hyphenated at a line end
help_text = open("help.txt").read()
option = re.compile(r"(?<![\w-])(--?[a-z0-9][a-z0-9-]*)")
def options(text):
    return set(option.findall(text))
problems = []
for o in sorted(options(help_text)):
    if not re.search(r"(?<![\w-])" + re.escape(o) + r"(?![\w-])", page):
        problems.append("kdz -h shows %s, the man page does not" % o)
for o in sorted(o for o in options(page) if o.startswith("--")):
    if o not in options(help_text):
        problems.append("the man page names %s, which kdz -h does not show" % o)
for form in ("info FILE", "decode IN OUT", "decode -o DIR FILE...", "encode IN OUT", "encode -o DIR FILE...",
             "EXIT STATUS", "INPUT FORMATS"):
    if not re.search(r"^ *" + re.escape(form), page, re.M):
        problems.append("no heading for %r" % form)
version = open("version.txt").read().strip()  # "kdz 1.2.3"
if version not in page:
    problems.append("the man page is not of %s" % version)
if problems:
    sys.exit("\n".join(problems))
PY

finish
