#!/usr/bin/env bash
# korvex.exe is a 32-bit x86 console program that imports from no DLL but
# KERNEL32, msvcrt and bcrypt: Windows' own, with import libraries that
# Microsoft documents.
set -u
exe=$1
file "$exe" | grep -q 'PE32 executable (console) Intel 80386' || { file "$exe"; exit 1; }
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $dlls; do
    case $dll in
        kernel32.dll | msvcrt.dll | bcrypt.dll) ;;
        *) echo "imports from a DLL other than KERNEL32, msvcrt and bcrypt: $dll"; exit 1 ;;
    esac
done
echo "1 passed, 0 failed"
