#!/usr/bin/env bash
# The signing of the release package, through scripts/package.sh --sign, with a throwaway CA
# and code-signing certificate made here: the signed exe verifies against that CA and no other,
# keeps its version and resources, and one flipped byte breaks it; the password never appears
# in an argument list; a missing or wrong password stops the package before it is built.
# Usage: package_sign_test.sh BUILD_DIR   (a 32-bit tree whose LineDisplayTest.exe is built)
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
py=/usr/bin/python3
work=$(mktemp -d "${TMPDIR:-/tmp}/ldt-sign-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
check() { # NAME ACTUAL PATTERN
  case "$2" in
    $3) echo "ok: $1" ;;
    *) echo "FAILED: $1"; echo "  got:      $2" | head -n 12; echo "  expected: $3"
       failures=$((failures + 1)) ;;
  esac
}

# A CA, and a certificate it issues for code signing, both for two days; another CA that
# issued nothing here, to show that verification looks at who signed.
ca() { # NAME
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 \
    -subj "/CN=Throwaway $1" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
}
ca test-ca && ca other-ca || { echo "FAILED: openssl could not make the test CAs"; exit 1; }
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext
password='throwaway pass 1'
printf '%s\n' "$password" >pass
printf 'not the password\n' >wrong-pass
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
  -subj "/CN=Throwaway code signing" 2>/dev/null &&
  openssl x509 -req -in signer.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial -days 2 \
    -extfile ext -out signer.pem 2>/dev/null &&
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile test-ca.pem -out signer.pfx \
    -passout file:pass || { echo "FAILED: openssl could not make the signing certificate"; exit 1; }

# osslsigncode and openssl as package.sh finds them on PATH: each records its argument list,
# then runs the real program.
mkdir bin
for tool in osslsigncode openssl; do
  printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s/arguments"\nexec %s "$@"\n' \
    "$work" "$(command -v $tool)" >bin/$tool
  chmod +x bin/$tool
done

# NAME EXIT-PATTERN MESSAGE-PATTERN ENV... -- ARGS...: runs package.sh, checks its status and output.
run_case() {
  local name=$1 want_rc=$2 want_text=$3 rc=0
  shift 3
  local env=()
  while [ "$1" != -- ]; do env+=("$1"); shift; done
  shift
  env -u LDT_SIGN_PASSWORD ${env[@]+"${env[@]}"} PATH="$work/bin:$PATH" \
    bash "$root/scripts/package.sh" --build-dir "$build" "$@" >"$work/out" 2>&1 || rc=$?
  check "$name: exit status" "$rc" "$want_rc"
  check "$name: says so" "$(cat "$work/out")" "$want_text"
}
run_case "password from a file" 0 "*signed with */signer.pfx*" \
  -- --out from-file --sign signer.pfx --sign-pass-file pass
run_case "password from the environment" 0 "*signed with */signer.pfx*" LDT_SIGN_PASSWORD="$password" \
  -- --out from-env --sign signer.pfx
run_case "a wrong password" "[1-9]*" "*cannot open */signer.pfx with the password given*" \
  -- --out wrong --sign signer.pfx --sign-pass-file wrong-pass
run_case "no password at all" "[1-9]*" "*--sign-pass-file FILE) or set LDT_SIGN_PASSWORD*" \
  -- --out none --sign signer.pfx
run_case "a password file without a certificate" "[1-9]*" "*--sign-pass-file needs --sign*" \
  -- --out none --sign-pass-file pass
run_case "without --sign" 0 "*the exe unsigned*" -- --out unsigned
for refused in wrong none; do
  check "a refused password writes no package ($refused)" "$([ -e $refused ] && echo written)" ""
done
check "the signing tools were run" "$(grep -c '^sign ' arguments)" 2
check "the password is in no argument list" "$(grep -c -F "$password" arguments)" 0

verify() { # EXE CA: "verified" or "refused", with osslsigncode's account in verify.log
  osslsigncode verify -in "$1" -CAfile "$2" -ignore-cdp >"$work/verify.log" 2>&1 &&
    echo verified || echo refused
}
unsigned="$build/LineDisplayTest.exe"
for source in from-file from-env; do
  zip=$(ls "$source"/LineDisplayTest-*.zip)
  mkdir "$source/x" && (cd "$source/x" && unzip -q "../$(basename "$zip")")
  signed=$(ls "$source"/x/*/LineDisplayTest.exe)
  check "$source: the signed exe verifies against the test CA" "$(verify "$signed" test-ca.pem)" verified
  check "$source: and not against another CA" "$(verify "$signed" other-ca.pem)" refused
  check "$source: version and resources unchanged" \
    "$("$py" "$root/scripts/package.py" describe "$signed" | sha256sum)" \
    "$("$py" "$root/scripts/package.py" describe "$unsigned" | sha256sum)"
  check "$source: the package checks as signed" \
    "$("$py" "$root/scripts/package.py" check "$zip" "$unsigned" --signed 2>&1)" "*checked*signed*"
  check "$source: and not as unsigned" \
    "$("$py" "$root/scripts/package.py" check "$zip" "$unsigned" 2>&1)" \
    "*the packaged exe is not the same file as*"
done

# One byte flipped: in the code the signature covers, and in the signature itself.
signed=$(ls from-file/x/*/LineDisplayTest.exe)
offsets=$("$py" - "$signed" <<'PYTHON'
import sys, pefile
pe = pefile.PE(sys.argv[1], fast_load=True)
text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
print("code", text.PointerToRawData + 0x100, "*MISMATCH*")
print("signature", entry.VirtualAddress + entry.Size - 64, "*")
PYTHON
)
while read -r where offset account; do
  cp "$signed" tampered.exe
  "$py" -c 'import sys; f = open(sys.argv[1], "r+b"); at = int(sys.argv[2]); f.seek(at)
b = f.read(1); f.seek(at); f.write(bytes([b[0] ^ 0x01]))' tampered.exe "$offset"
  check "a byte of the $where flipped (at $offset): verification fails" \
    "$(verify tampered.exe test-ca.pem; cat verify.log)" "refused$account"
done <<<"$offsets"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all signing checks passed"
