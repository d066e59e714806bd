#!/usr/bin/env bash
# The release package (README.md, "For technicians"): builds the two 32-bit release exes, the
# utility and the display stand-in, and writes dist/LineDisplayTest-<the utility's file
# version>.zip with both exes, the guide as one HTML file and their SHA-256 sums; nothing here
# runs an exe. One commit gives the same exes and zip, byte for byte, wherever and whenever it is
# built; only a signature adds a time.
# Usage: scripts/package.sh [--build-dir DIR] [--out DIR] [--check]
#                           [--sign CERT.pfx [--sign-pass-file FILE]]
#   --build-dir  the 32-bit Windows tree (default build/win32), configured from the win32 preset
#   --out        where the zip goes (default dist); paths given are relative to where the
#                script is started, the defaults to the repository
#   --check      then checks the zip (scripts/package.py check), builds and packs the exes again
#                in another directory, time zone, locale and umask, and compares each exe and
#                the zips byte for byte (unsigned); meanwhile runs the signing test.
#   --sign       signs the packed copies of the exes (Authenticode) with the certificate and key in
#                CERT.pfx; the password is FILE's first line, or else LDT_SIGN_PASSWORD, never an
#                argument, which any user of the machine could read.
. "$(dirname "$0")/lib.sh"
caller=$PWD
cd "$ldt_root"
given() { case "$1" in /*) echo "$1" ;; *) echo "$caller/$1" ;; esac; }
usage="usage: $0 [--build-dir DIR] [--out DIR] [--check] [--sign CERT.pfx [--sign-pass-file FILE]]"
build=build/win32 out=dist check=0 cert='' pass_file=''
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$(given "${2:?$usage}"); shift 2 ;;
    --out) out=$(given "${2:?$usage}"); shift 2 ;;
    --check) check=1; shift ;;
    --sign) cert=$(given "${2:?$usage}"); shift 2 ;;
    --sign-pass-file) pass_file=$(given "${2:?$usage}"); shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
[ -z "$pass_file" ] || [ -n "$cert" ] || ldt_die "--sign-pass-file needs --sign CERT.pfx"

ldt_step "installing packages" "$build/package-install.log" bash scripts/install-deps.sh
ldt_need pandoc ${cert:+osslsigncode openssl}
[ $check = 0 ] || ldt_need diffoscope
py=/usr/bin/python3 # Debian's, which sees python3-pefile whatever python3 comes first on PATH
# The exes, as the package names them, with the description a signature gives each; the utility
# first, since the package is named for its version.
programs=(LineDisplayTest.exe DisplayStandIn.exe)
declare -A described=([LineDisplayTest.exe]="Line display test" [DisplayStandIn.exe]="Display stand-in")

# The password, on a standard input or a /dev/fd path: never in an argument list.
password() {
  if [ -n "$pass_file" ]; then head -n 1 "$pass_file" | tr -d '\r\n'; else printf '%s' "$LDT_SIGN_PASSWORD"; fi
}
stage=$(mktemp -d "${TMPDIR:-/tmp}/ldt-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
if [ -n "$cert" ]; then
  [ -f "$cert" ] || ldt_die "no certificate file $cert"
  if [ -n "$pass_file" ]; then
    [ -r "$pass_file" ] || ldt_die "cannot read the password file $pass_file"
  elif [ -z "${LDT_SIGN_PASSWORD+set}" ]; then
    ldt_die "signing needs the password of $cert: give a file holding it (--sign-pass-file FILE) or set LDT_SIGN_PASSWORD; it is never taken from the command line"
  fi
  # Before the build, so a wrong password costs seconds: the certificates in the .pfx, which
  # the signed exes are verified against. A certificate exported by Windows may use the older
  # ciphers that OpenSSL keeps in its legacy provider.
  chain() { openssl pkcs12 "$@" -in "$cert" -nokeys -passin stdin -out "$stage/chain.pem" < <(password) 2>/dev/null; }
  chain || chain -legacy ||
    ldt_die "cannot open $cert with the password given (wrong password, or not a PKCS#12 file)"
  # The question is whether what was signed verifies, not whom Windows trusts: the
  # certificates in the .pfx stand as roots beside the system's.
  [ ! -f /etc/ssl/certs/ca-certificates.crt ] ||
    cat /etc/ssl/certs/ca-certificates.crt >>"$stage/chain.pem"
fi

# Every date in the package is the last commit's time, so the same sources give the same zip;
# pandoc is handed it too, for any date it would write. The builds are not: the exes must come
# out the same from a plain build, and ld would take its time stamp from SOURCE_DATE_EPOCH.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}
[ -n "$epoch" ] || {
  epoch=$(date +%s)
  ldt_say "not a git work tree: the zip's entries carry today's date; set SOURCE_DATE_EPOCH for a reproducible zip"
}
commit=$(git rev-parse --short HEAD 2>/dev/null || echo "no commit")
[ -z "$(git status --porcelain --untracked-files=no 2>/dev/null)" ] ||
  ldt_say "the work tree has uncommitted changes: this package is not commit $commit's"

# TREE DIR [SIGN]: writes DIR/LineDisplayTest-<version>.zip from the exes built in TREE; signs
# the packed copies first when SIGN is 1. Sets made to the zip's path.
make_package() {
  local tree=$1 dir=$2 sign=${3:-0} version work exe
  version=$("$py" scripts/package.py version "$tree/${programs[0]}")
  work=$(mktemp -d "$stage/pack.XXXXXX")
  # --self-contained: the pictures and the style sheet go into the page as data, so the one
  # file is the whole guide wherever it is copied. The contents list only the main parts: the
  # guide's own symptom table leads to the rest.
  SOURCE_DATE_EPOCH=$epoch ldt_step "writing the guide" "$tree/package-guide.log" \
    pandoc docs/technician-guide.md --from markdown --to html5 --self-contained \
    --toc --toc-depth=2 --resource-path=docs --css docs/guide.css \
    --metadata pagetitle="Line display test: technician's guide" \
    --output "$work/LineDisplayTest-Guide.html"
  for exe in "${programs[@]}"; do
    if [ "$sign" = 1 ]; then
      ldt_step "signing $exe with $cert" "$build/package-sign-${exe%.exe}.log" \
        osslsigncode sign -pkcs12 "$cert" -readpass <(password) -h sha256 \
        -n "${described[$exe]}" -in "$tree/$exe" -out "$work/$exe"
      ldt_step "verifying the signature of $exe" "$build/package-verify-${exe%.exe}.log" \
        osslsigncode verify -in "$work/$exe" -CAfile "$stage/chain.pem" -ignore-cdp
    else
      cp "$tree/$exe" "$work/$exe"
    fi
  done
  "$py" scripts/package.py zip "$dir/LineDisplayTest-$version.zip" "LineDisplayTest-$version" \
    "$epoch" "${programs[@]/#/$work/}" "$work/LineDisplayTest-Guide.html"
  made="$dir/LineDisplayTest-$version.zip"
}

targets=("${programs[@]%.exe}")
ldt_step "building the exes" "$build/package-build.log" ldt_build win32 "$build" "${targets[@]}"
make_package "$build" "$out" ${cert:+1}
zip=$made
signing=${cert:+the exes signed with $cert}
ldt_say "$zip ($(du -k "$zip" | cut -f1) KB) from commit $commit, ${signing:-the exes unsigned (--sign CERT.pfx signs them)}"

[ $check = 1 ] || exit 0
"$py" scripts/package.py check "$zip" "${programs[@]/#/$build/}" ${cert:+--signed}

# The same sources built again: another directory, later, in another time zone, locale and
# umask, each picked to differ from this shell's own, and without SOURCE_DATE_EPOCH, so the
# exes' sameness does not rest on it.
again=$(mktemp -d "${TMPDIR:-/tmp}/ldt-rebuild.XXXXXX")
trap 'rm -rf "$stage" "$again"' EXIT
other_tz=Pacific/Kiritimati other_locale=C other_umask=077
[ "${TZ:-}" != "$other_tz" ] || other_tz=America/St_Johns
[ "${LC_ALL:-}" != C ] || other_locale=C.UTF-8
[ "$(umask)" != 0077 ] || other_umask=002
rebuild() {
  umask "$other_umask"
  export TZ=$other_tz LC_ALL=$other_locale
  unset SOURCE_DATE_EPOCH
  ldt_step "building the exes again in $again" "$again/build.log" \
    ldt_build win32 "$again/tree" "${targets[@]}"
  make_package "$again/tree" "$again/dist"
  echo "$made" >"$again/zip-path"
}
# The signing test meanwhile, on this tree's exes: both spend most of their time waiting on
# processes, not on the processor.
ldt_step "the signing test" "$build/package-sign-test.log" \
  bash tests/scripts/package_sign_test.sh "$build" &
sign_test=$!
ldt_run rebuild
# Each step has said what failed and where its log is.
wait $sign_test || exit
[ $ldt_rc = 0 ] || exit $ldt_rc
ldt_say "signing test passed (its log: $build/package-sign-test.log)"
second_zip=$(cat "$again/zip-path")
# A signature carries its time, so two builds are compared before signing.
first_zip=$zip
if [ -n "$cert" ]; then
  make_package "$build" "$stage/unsigned"
  first_zip=$made
fi
failed=0
# A B: says where A and B differ, if they do: our own account, then diffoscope's.
compare() {
  "$py" scripts/package.py compare "$1" "$2" && return 0
  failed=1
  ldt_say "diffoscope's view (the first ${LDT_DIFF_LINES:-40} lines):"
  # Bounded: a whole exe's hex dump would bury the answer.
  { diffoscope --no-progress --text - "$1" "$2" 2>&1 || true; } |
    head -n "${LDT_DIFF_LINES:-40}" | sed 's/^/  /' >&2
}
for exe in "${programs[@]}"; do
  compare "$build/$exe" "$again/tree/$exe"
done
compare "$first_zip" "$second_zip"
if [ $failed = 1 ]; then
  trap 'rm -rf "$stage"' EXIT  # the second build stays for a closer look
  ldt_die "not reproducible: a second build of the same sources (kept in $again; TZ=$other_tz, LC_ALL=$other_locale, umask $other_umask) differs; see above"
fi
sums=$(for exe in "${programs[@]}"; do echo "$exe SHA-256 $(sha256sum <"$build/$exe" | cut -d' ' -f1)"; done)
ldt_say "reproducible: a second build (in $again, TZ=$other_tz, LC_ALL=$other_locale, umask $other_umask) gave the same exes, ${sums//$'\n'/, }, and the same ${cert:+unsigned }zip, SHA-256 $(sha256sum <"$first_zip" | cut -d' ' -f1)"
[ -z "$cert" ] || ldt_say "the signed package is not compared: a signature carries the time it was made"
