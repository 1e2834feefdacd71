#!/usr/bin/env bash
# Regenerates the seed corpus under fuzz/corpus/<target>/. The packet seeds
# need the packet_seeds program of a fuzz build:
#   fuzz/make_seeds.sh build-fuzz/packet_seeds
set -euo pipefail
seeds_bin=$(realpath "${1:?usage: make_seeds.sh PATH/TO/packet_seeds}")
cd "$(dirname "$0")"
c=corpus

seed() {  # seed TARGET NAME printf-format [args...]
  local target=$1 name=$2
  shift 2
  mkdir -p "$c/$target"
  # shellcheck disable=SC2059
  printf -- "$@" >"$c/$target/$name"
}

mkdir -p "$c/packet"
"$seeds_bin" "$c/packet"

seed request command_only 'INFO\n\r'
seed request params 'TEST-FreeSpace\n/var\n  1000  \n\r'
seed request named 'SET-Options\nport = 5056\n password=secret \n=novalue\nnoequals\n\r'
seed request empty_lines '\n\n\n\r'
# Thousands of empty lines before a named value: once looked up by rescanning
# the text for every line.
seed request many_lines '%s\nport = 1\n\r' "$(printf '\n%.0s' {1..3000}; printf x)"

seed value_codec int '-2147483649'
seed value_codec int64 '9223372036854775807'
seed value_codec real '1.5e308'
seed value_codec time '31122024235959'
seed value_codec escapes 'a%%0Ab%%0Dc%%0%%0A%%'
seed value_codec newlines 'line1\nline2\r\n'

seed settings sample '%s' "$(cat ../etc/orv.cfg)"
seed settings odd 'Port = 99999999999\n  PASSWORD\t=  x y \r\n; comment=1\n#port=1\nfilterlist= a%%0Ab  c\nfiltermarks=101\ntcp=1junk\nudp=\n'
seed settings duplicates 'port=0\nport=-5\ntimeout=+12\ntimeout=\nunc=0\nunc=1\n'

seed expr plain '\001error'
seed expr nested "\000'error' and not (\"disk\" or 'net')\000disk error on net"
seed expr words '\002"a" AND "b" or not "c"\000a b c'
seed expr unterminated "\001'abc\000abc"
seed expr parens "\000((('x')))) and\000x"

seed finder simple '\000\003abcxxabcxx'
seed finder whole '\002\003abc abcd abc'
seed finder case '\001\002AbaBAb'

seed addrlist single '\177\000\000\001127.0.0.1'
seed addrlist range '\012\000\000\005 10.0.0.1 - 10.0.0.9, 192.168.1.1'
seed addrlist odd '\001\002\003\0040x1,017.1,255.255.255.255-1,0.0.0.0,1.2'

seed textlog plain '\000\007error\000\020first line\nerror one\nerror two\r\nlast'
seed textlog expr "\003\001'error' and not 'disk'\000\005a\nerror disk\nerror net\n\n\nx"
seed textlog second '\025\003x\000\040warn here\rerror there\nnothing\n'
