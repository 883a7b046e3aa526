#!/usr/bin/env bash
# Installs what scripts/make-corpus.py needs (Debian 12, as root): espeak-ng, sox, the diphone
# synthesiser with its voices from the contrib and non-free sections, which this adds to the apt
# sources when they are missing, and Festival with its voices. Safe to run again. CI does not
# need any of this.
set -euo pipefail

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

sources=/etc/apt/sources.list.d/debian.sources
changed=0
if [ -f "$sources" ]; then
    # deb822: every "Components:" line gains the sections it lacks.
    updated=$(perl -pe 'if (/^Components:/) { for my $s (qw(contrib non-free non-free-firmware)) {
        s/\s*$/ $s\n/ unless /\s\Q$s\E(\s|$)/ } }' "$sources")
    if [ "$updated" != "$(cat "$sources")" ]; then
        printf '%s\n' "$updated" | sudo_if_needed tee "$sources" >/dev/null
        changed=1
    fi
elif [ -f /etc/apt/sources.list ]; then
    if ! grep -Eq '^deb .* main.*contrib' /etc/apt/sources.list; then
        sudo_if_needed sed -i -E 's/^(deb .* main)$/\1 contrib non-free non-free-firmware/' \
            /etc/apt/sources.list
        changed=1
    fi
fi

if [ "$changed" -eq 1 ] || ! apt-cache show mbrola >/dev/null 2>&1; then
    sudo_if_needed apt-get update
fi

# The voices the corpus uses, with --wide too. Not the ones make-corpus.py holds back for
# independent evaluation (de1 en1 es3 fr1 it3 us3): nothing here may so much as load them.
voices="de2 de3 de4 de5 de6 de7 es1 es2 es4 fr2 fr3 fr4 fr5 fr6 fr7 it4 \
    nl2 pt1 br1 br3 us1 us2 cz2 pl1 ro1 \
    it1 it2 nl3 mx1 mx2 br2 br4 cz1 ca1 ca2 hu1 gr1 gr2 sw1 sw2 lt1 lt2 af1 cr1 hb1 jp1 jp2 \
    jp3 la1 nz1 vz1 ee1 ic1"
packages="mbrola espeak-ng sox"
for voice in $voices; do
    if apt-cache show "mbrola-$voice" >/dev/null 2>&1; then
        packages="$packages mbrola-$voice"
    fi
done
# Festival and its voices of real speakers (make-corpus.py --festival). Not festvox-en1 or
# festvox-us3: they drive held-back diphone voices; without recommends, so that neither comes in.
packages="$packages festival festvox-kallpc16k festvox-kdlpc16k festvox-rablpc16k festvox-don \
    festvox-italp16k festvox-itapc16k festvox-czech-dita festvox-czech-krb festvox-czech-machac \
    festvox-czech-ph festvox-suopuhe-lj festvox-suopuhe-mv festvox-us-slt-hts festvox-ca-ona-hts \
    festvox-ru"
sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $packages
