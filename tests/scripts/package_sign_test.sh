#!/usr/bin/env bash
# The signing of the release package, through scripts/package.sh --sign, with a throwaway CA
# and code-signing certificate made here: each signed exe verifies against that CA and no other,
# keeps its version and resources, and one flipped byte breaks it; the password never appears
# in an argument list; a missing or wrong password stops the package before it is built, and a
# guide that cannot be written stops it before it is zipped.
# Usage: package_sign_test.sh BUILD_DIR   (a 32-bit tree whose two release exes are built)
. "$(dirname "$0")/../../scripts/lib.sh"
ldt_need osslsigncode openssl unzip
ldt_checks_begin
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
package_py() { /usr/bin/python3 "$ldt_root/scripts/package.py" "$@"; }
cd "$work"

# A CA, and a certificate it issues for code signing, both for two days; another CA that
# issued nothing here, to show that verification looks at who signed.
ca() { # NAME
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 \
    -subj "/CN=Throwaway $1" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
}
ca test-ca && ca other-ca || ldt_die "FAILED: openssl could not make the test CAs"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext
password='throwaway pass 1'
printf '%s\n' "$password" >pass
printf 'not the password\n' >wrong-pass
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
  -subj "/CN=Throwaway code signing" 2>/dev/null &&
  openssl x509 -req -in signer.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial -days 2 \
    -extfile ext -out signer.pem 2>/dev/null &&
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile test-ca.pem -out signer.pfx \
    -passout file:pass || ldt_die "FAILED: openssl could not make the signing certificate"

# osslsigncode and openssl as package.sh finds them on PATH: each records its argument list,
# then runs the real program.
mkdir bin
for tool in osslsigncode openssl; do
  printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s/arguments"\nexec %s "$@"\n' \
    "$work" "$(command -v $tool)" >bin/$tool
  chmod +x bin/$tool
done

# NAME EXIT-PATTERN MESSAGE-PATTERN ARGS...: runs package.sh, checks its status and output. Only
# a case that sets LDT_SIGN_PASSWORD in front of run_case has it.
unset LDT_SIGN_PASSWORD
run_case() {
  local name=$1 want_rc=$2 want_text=$3 rc=0
  shift 3
  PATH="$work/bin:$PATH" bash "$ldt_root/scripts/package.sh" --build-dir "$build" "$@" \
    >"$work/out" 2>&1 || rc=$?
  ldt_check "$name: exit status" "$rc" "$want_rc"
  ldt_check "$name: says so" "$(cat "$work/out")" "$want_text"
}
run_case "password from a file" 0 "*signed with */signer.pfx*" \
  --out from-file --sign signer.pfx --sign-pass-file pass
LDT_SIGN_PASSWORD=$password run_case "password from the environment" 0 "*signed with */signer.pfx*" \
  --out from-env --sign signer.pfx
run_case "a wrong password" "[1-9]*" "*cannot open */signer.pfx with the password given*" \
  --out wrong --sign signer.pfx --sign-pass-file wrong-pass
run_case "no password at all" "[1-9]*" "*--sign-pass-file FILE) or set LDT_SIGN_PASSWORD*" \
  --out none --sign signer.pfx
run_case "a password file without a certificate" "[1-9]*" "*--sign-pass-file needs --sign*" \
  --out none --sign-pass-file pass
run_case "without --sign" 0 "*the exes unsigned*" --out unsigned
# pandoc failing: the zip the run above left is not announced as this run's.
mkdir broken
printf '#!/bin/sh\necho "pandoc: cannot write the guide" >&2\nexit 64\n' >broken/pandoc
chmod +x broken/pandoc
PATH="$work/broken:$PATH" run_case "a guide that cannot be written" 64 \
  "*cannot write the guide*FAILED at \"writing the guide\"*" --out unsigned
for refused in wrong none; do
  ldt_check "a refused password writes no package ($refused)" "$([ -e $refused ] && echo written)" ""
done
ldt_check "the signing tools were run, once for each exe of each package" \
  "$(grep -c '^sign ' arguments)" 4
ldt_check "the password is in no argument list" "$(grep -c -F "$password" arguments)" 0

verify() { # EXE CA: "verified" or "refused", with osslsigncode's account in verify.log
  osslsigncode verify -in "$1" -CAfile "$2" -ignore-cdp >"$work/verify.log" 2>&1 &&
    echo verified || echo refused
}
exes=(LineDisplayTest.exe DisplayStandIn.exe)
for source in from-file from-env; do
  zip=$(ls "$source"/LineDisplayTest-*.zip)
  mkdir "$source/x" && (cd "$source/x" && unzip -q "../$(basename "$zip")")
  for exe in "${exes[@]}"; do
    signed=$(ls "$source"/x/*/"$exe")
    ldt_check "$source: the signed $exe verifies against the test CA" "$(verify "$signed" test-ca.pem)" verified
    ldt_check "$source: and not against another CA" "$(verify "$signed" other-ca.pem)" refused
    ldt_check "$source: version and resources of $exe unchanged" \
      "$(package_py describe "$signed" | sha256sum)" "$(package_py describe "$build/$exe" | sha256sum)"
  done
  ldt_check "$source: the package checks as signed" \
    "$(package_py check "$zip" "${exes[@]/#/$build/}" --signed 2>&1)" "*checked*signed*"
  ldt_check "$source: and not as unsigned" "$(package_py check "$zip" "${exes[@]/#/$build/}" 2>&1)" \
    "*the packaged LineDisplayTest.exe is not the same file as*the packaged DisplayStandIn.exe is not the same file as*"
done

# One byte flipped: in the code the signature covers, and in the signature itself.
PYTHONPATH="$ldt_root/tests/scripts" /usr/bin/python3 -B - "$(ls from-file/x/*/LineDisplayTest.exe)" <<'PYTHON'
import sys
from package_test import flipped, package, read, text_offset
data = read(sys.argv[1])
at, size = package.Exe(data).signature()
for name, offset in (("code", text_offset(data)), ("signature", at + size - 64)):
    with open(f"tampered-{name}.exe", "wb") as f:
        f.write(flipped(data, offset))
PYTHON
ldt_check "a byte of the code flipped: verification fails" \
  "$(verify tampered-code.exe test-ca.pem; cat verify.log)" "refused*MISMATCH*"
ldt_check "a byte of the signature flipped: verification fails" \
  "$(verify tampered-signature.exe test-ca.pem)" refused

ldt_checks_done
