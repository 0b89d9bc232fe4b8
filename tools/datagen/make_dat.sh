#!/bin/sh
# Builds zivivev.dat in OUTDIR from scratch: make_dat.sh DATAGEN LAME DAT OUTDIR.
# Object order is fixed by the order of the dat calls (-n0), and the names sort the same way;
# -s1 drops the grabber's file dates so the bytes depend on the contents only.
set -eu
datagen=$1 lame=$2 dat=$3 out=$4
mkdir -p "$out"
cd "$out"
"$datagen" anim a_anim.flc
"$datagen" font b_font.bmp
"$datagen" back c_back.bmp
"$datagen" music d_music.wav
"$lame" --quiet -m j -b 192 d_music.wav d_music.mp3
rm -f zivivev.dat
"$dat" -n0 -s1 -a -t FLIC zivivev.dat a_anim.flc >/dev/null
"$dat" -n0 -s1 -a -t FONT zivivev.dat b_font.bmp >/dev/null
"$dat" -n0 -s1 -a -t BMP zivivev.dat c_back.bmp >/dev/null
"$dat" -n0 -s1 -a -t DATA zivivev.dat d_music.mp3 >/dev/null
