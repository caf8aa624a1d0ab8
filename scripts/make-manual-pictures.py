#!/usr/bin/env python3
"""Draws the pictures of docs/manual.md from real renders: each example is a
text bank and a few MIDI notes played through plinka-render, and gnuplot
draws what came out. Run it after building the linux preset (it needs
build/linux/plinka-render and plinka-bank, and gnuplot, which
scripts/install-deps.sh docs installs). Writes docs/pictures/*.png.
"""
import math
import os
import struct
import subprocess
import sys
import tempfile
import wave

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
RENDER = os.path.join(ROOT, "build", "linux", "plinka-render")
BANK = os.path.join(ROOT, "build", "linux", "plinka-bank")
PICTURES = os.path.join(ROOT, "docs", "pictures")
RATE = 44100
FRAME = RATE / 60.0  # one NTSC chip frame in samples
TICKS = 480          # per quarter note, at 120 bpm: one tick is 1/960 s

# The manual's FDS and N163 examples, as it writes them.
DISK_LEAD_WAVE = ("32 37 42 47 51 54 57 58 59 59 58 56 54 52 50 47 45 44 42 41 41 40 40 40 40 40 39 38 38 36 35 33 "
                  "32 30 28 27 25 25 24 23 23 23 23 23 22 22 21 19 18 16 13 11 9 7 5 4 4 5 6 9 12 16 21 26")
DISK_LEAD_MOD = "1 1 1 1 1 1 1 1 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 1 1 1 1 1 1 1 1"
WAVE_PLUCK_WAVES = ("15 15 14 14 13 13 12 12 11 11 10 10 9 9 8 8 7 7 6 6 5 5 4 4 3 3 2 2 1 1 0 0 ; "
                    "8 9 10 11 12 13 14 15 15 14 13 12 11 10 9 8 7 6 5 4 3 2 1 0 0 1 2 3 4 5 6 7")


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, (value & 0x7F) | 0x80)
        value >>= 7
    return bytes(out)


def midi_file(events, bpm=120):
    """events: (seconds, three bytes); one track at one tempo."""
    body = b""
    if bpm != 120:
        body += vlq(0) + b"\xFF\x51\x03" + round(60_000_000 / bpm).to_bytes(3, "big")
    now = 0
    for seconds, data in sorted(events, key=lambda e: e[0]):
        tick = round(seconds * bpm / 60 * TICKS)
        body += vlq(tick - now) + bytes(data)
        now = tick
    body += vlq(0) + b"\xFF\x2F\x00"
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, TICKS) + b"MTrk" + struct.pack(">I", len(body)) + body


def render(work, name, bank, events, seconds, bpm=120):
    """Plays events through a bank (None: the default bank with its factory
    presets); answers the samples of the left channel."""
    midi_path = os.path.join(work, name + ".mid")
    wav_path = os.path.join(work, name + ".wav")
    with open(midi_path, "wb") as out:
        out.write(midi_file(events, bpm))
    command = [RENDER, midi_path, "-o", wav_path, "--tail", "0.5", "--quiet"]
    if bank is not None:
        bank_path = os.path.join(work, name + ".txt")
        with open(bank_path, "w") as out:
            out.write(bank)
        command += ["--bank", bank_path]
    subprocess.run(command, check=True)
    with wave.open(wav_path) as wav:
        frames = wav.readframes(wav.getnframes())
    samples = struct.unpack("<%dh" % (len(frames) // 2), frames)[0::2]
    return [s / 32768.0 for s in samples][: int(seconds * RATE)]


def program(channel, volume, arp="0", pitch="0", duty="2", number=1, multi="no"):
    return (f"[program {number}]\nname = example\nchannel = {channel}\nmulti = {multi}\n"
            f"volume = {volume}\narp = {arp}\npitch = {pitch}\nhi-pitch = 0\nduty = {duty}\n\n")


def plot(name, script, data, size="900,320"):
    path = os.path.join(PICTURES, name + ".png")
    with tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False) as out:
        out.write(data)
        data_path = out.name
    commands = (f"set terminal pngcairo size {size} font 'sans,10'\n"
                f"set output '{path}'\nset grid\n" + script.replace("DATA", f"'{data_path}'"))
    subprocess.run(["gnuplot"], input=commands, text=True, check=True)
    os.unlink(data_path)
    print("wrote", os.path.relpath(path, ROOT))


def peaks_per_frame(samples):
    rows = []
    for frame in range(int(len(samples) / FRAME)):
        part = samples[int(frame * FRAME): int((frame + 1) * FRAME)]
        rows.append(f"{frame / 60.0:.4f} {max(abs(s) for s in part):.5f}")
    return "\n".join(rows) + "\n"


def pitch_per_frame(samples, key):
    """Cents from the key's equal-tempered pitch, frame by frame, from rising zero crossings."""
    rows = []
    reference = 440.0 * 2 ** ((key - 69) / 12)
    for frame in range(int(len(samples) / FRAME)):
        part = samples[int(frame * FRAME) + 40: int((frame + 1) * FRAME) - 40]
        mean = sum(part) / len(part)
        crossings = [i + (mean - part[i]) / (part[i + 1] - part[i])
                     for i in range(len(part) - 1) if part[i] <= mean < part[i + 1]]
        if len(crossings) >= 2:
            frequency = (len(crossings) - 1) * RATE / (crossings[-1] - crossings[0])
            rows.append(f"{frame / 60.0:.4f} {1200 * math.log2(frequency / reference):.2f}")
    return "\n".join(rows) + "\n"


def main():
    if not os.access(RENDER, os.X_OK):
        sys.exit(f"make-manual-pictures: build the linux preset first ({RENDER} is missing)")
    os.makedirs(PICTURES, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        # A plucked lead: held part, then a release part after the key goes up.
        bank = program("pulse", "15 13 11 10 9 | 9 / 7 5 4 3 2 1 0", duty="1 1 2")
        samples = render(work, "pluck", bank, [(0.1, [0x90, 69, 100]), (0.6, [0x80, 69, 0])], 1.1)
        plot("release", "set xlabel 'seconds'\nset ylabel 'peak level per frame'\nset yrange [0:*]\n"
             "set arrow from 0.1, graph 0 to 0.1, graph 1 nohead dt 2\n"
             "set arrow from 0.6, graph 0 to 0.6, graph 1 nohead dt 2\n"
             "set label 'key down' at 0.11, graph 0.92\nset label 'key up: release part' at 0.61, graph 0.92\n"
             "set title 'volume = 15 13 11 10 9 | 9 / 7 5 4 3 2 1 0'\n"
             "plot DATA using 1:2 with steps lw 2 notitle",
             peaks_per_frame(samples))

        # Kick and snare from fixed notes on one Multi program: C plays the
        # kick (program 1), D the snare (program 3).
        bank = (program("triangle", "15 15 15 15 15 15 0", arp="@40 @35 @31 @28 @26 @24", multi="yes")
                + program("noise", "15 14 12 10 8 6 4 2 0", arp="@64 @60 @60 @56", number=3))
        hits = [(0.05, [0x99, 36, 120]), (0.3, [0x99, 38, 120]), (0.55, [0x99, 48, 120]), (0.8, [0x99, 62, 120])]
        hits += [(1.0, [0x89, key, 0]) for key in (36, 38, 48, 62)]
        samples = render(work, "drums", "[channels]\n10 = 1\n\n" + bank, hits, 1.05)
        rows = "\n".join(f"{i / RATE:.5f} {s:.5f}" for i, s in enumerate(samples) if i % 4 == 0) + "\n"
        plot("drums", "set xlabel 'seconds'\nset ylabel 'output'\nset yrange [-0.5:0.5]\n"
             "set label 'kick (C2)' at 0.06, 0.45\nset label 'snare (D2)' at 0.31, 0.45\n"
             "set label 'kick (C3)' at 0.56, 0.45\nset label 'snare (D4)' at 0.81, 0.45\nset xrange [0:1.05]\n"
             "plot DATA using 1:2 with lines lw 1 notitle", rows)

        # A drum kit of samples: four recordings synthesised by
        # make-drum-samples.py, put into a bank with plinka-bank add-sample at
        # rate 15 and mapped on C2, D2, F#2 and G2; above, the recordings,
        # below what the delta-modulation channel makes of them.
        drum_dir = os.path.join(work, "drum-samples")
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-drum-samples.py"), drum_dir], check=True)
        kit = ["kick", "snare", "hat", "bass"]
        bank_path = os.path.join(work, "kit.txt")
        with open(bank_path, "w") as out:
            out.write("[channels]\n1 = 1\n\n" + program("sample", "15"))
        subprocess.run([BANK, "add-sample", bank_path] + [os.path.join(drum_dir, name + ".wav") for name in kit]
                       + ["--rate", "15", "-o", bank_path], check=True)
        with open(bank_path) as source:
            bank = source.read().replace("duty = 2\n", "duty = 2\nkeys = 36=kick:15 38=snare:15 42=hat:15 43=bass:15\n", 1)
        starts = [0.05, 0.45, 0.8, 1.0]
        hits = []
        for start, key in zip(starts, (36, 38, 42, 43)):
            hits += [(start, [0x90, key, 100]), (start + 0.3, [0x80, key, 0])]
        rendered = render(work, "kit", bank, hits, 1.5)
        recorded = [0.0] * len(rendered)
        for start, name in zip(starts, kit):
            with wave.open(os.path.join(drum_dir, name + ".wav")) as wav:
                frames = wav.readframes(wav.getnframes())
            values = struct.unpack("<%dh" % (len(frames) // 2), frames)
            first = int(start * RATE)
            for i, value in enumerate(values[: len(recorded) - first]):
                recorded[first + i] = value / 32768.0
        ordered = ("\n".join(f"{i / RATE:.5f} {s:.5f}" for i, s in enumerate(recorded) if i % 4 == 0) + "\n\n\n"
                   + "\n".join(f"{i / RATE:.5f} {s:.5f}" for i, s in enumerate(rendered) if i % 4 == 0) + "\n")
        script = ("set multiplot layout 2,1\nset grid\nset xrange [0:1.5]\n"
                  "set label 1 'kick (C2)' at 0.06, 0.8\nset label 2 'snare (D2)' at 0.46, 0.8\n"
                  "set label 3 'hat (F#2)' at 0.8, 0.8\nset label 4 'bass (G2)' at 1.05, 0.8\n"
                  "set title 'the recordings (WAV files)'\nset yrange [-1:1]\nset ylabel 'sound'\n"
                  "plot DATA index 0 using 1:2 with lines notitle\n"
                  "unset label\nset title 'Plinka: the samples at rate 15, played on C2, D2, F#2 and G2'\n"
                  "set xlabel 'seconds'\nset ylabel 'output'\nset yrange [-0.5:0.5]\n"
                  "plot DATA index 1 using 1:2 with lines notitle\nunset multiplot\n")
        plot("samples", script, ordered, size="900,520")

        # Vibrato by the modulation wheel: none, half, full.
        bank = program("pulse", "12")
        wheel = [(0.0, [0x90, 57, 100]), (0.5, [0xB0, 1, 64]), (1.0, [0xB0, 1, 127]), (1.5, [0x80, 57, 0])]
        samples = render(work, "vibrato", bank, wheel, 1.5)
        plot("vibrato", "set xlabel 'seconds'\nset ylabel 'cents from A3'\nset yrange [-60:60]\n"
             "set label 'wheel 0' at 0.2, 52\nset label 'wheel 64' at 0.7, 52\nset label 'wheel 127' at 1.2, 52\n"
             "plot DATA using 1:2 with steps lw 2 notitle", pitch_per_frame(samples, 57))

        # Playing: the manual's legato lead over A3, C4 and E4, each let go
        # in turn; and its octave arpeggio in sixteenths at two tempos.
        legato = ("[program 1]\nname = Mono Lead\nchannel = pulse\nvolume = 15 13 12 | 11\nduty = 2\n"
                  "mono = legato\nglide = 60\n")
        line = [(0.0, [0x90, 57, 100]), (0.4, [0x90, 60, 100]), (0.8, [0x90, 64, 100]), (1.2, [0x80, 64, 0]),
                (1.6, [0x80, 60, 0]), (2.0, [0x80, 57, 0])]
        rows = "\n".join(f"{t} {float(c) / 100:.3f}" for t, c in
                         (r.split() for r in pitch_per_frame(render(work, "legato", legato, line, 2.0), 57).split("\n") if r))
        arp = ("[program 1]\nname = Octave Arp\nchannel = pulse\nvolume = 12\narp = | 0 12\nduty = 1\n"
               "tempo-steps = 4\n")
        tempos = []
        for bpm in (120, 150):
            played = render(work, f"arp-{bpm}", arp, [(0.0, [0x90, 57, 100]), (1.0, [0x80, 57, 0])], 1.0, bpm)
            tempos.append("\n".join(f"{t} {float(c) / 100:.3f}" for t, c in
                                    (r.split() for r in pitch_per_frame(played, 57).split("\n") if r)))
        script = ("set multiplot layout 2,1\nset grid\nset ylabel 'semitones from A3'\n"
                  "set title 'mono = legato, glide = 60: hold A3, play C4 and E4 over it, let go of E4, then C4'\n"
                  "set xrange [0:2]\nset yrange [-1:8]\n"
                  "plot DATA index 0 using 1:2 with steps lw 2 notitle\n"
                  "set title 'arp = | 0 12, tempo-steps = 4: octaves on sixteenth notes'\n"
                  "set xlabel 'seconds'\nset xrange [0:1]\nset yrange [-1:14]\n"
                  "plot DATA index 1 using 1:2 with steps lw 2 title '120 bpm', "
                  "DATA index 2 using 1:2 with steps lw 2 dt 2 title '150 bpm'\nunset multiplot\n")
        plot("playing", script, rows + "\n\n\n" + tempos[0] + "\n\n\n" + tempos[1] + "\n", size="900,520")

        # Console mode: two pulses at 15 on one note, added up (console off)
        # and through the console's mixer (unfiltered); and a slow pulse
        # through the NES's and the Famicom's output filters.
        pulses = program("pulse", "15")
        two = [(0.0, [0x90, 57, 100]), (0.0, [0x91, 57, 100]), (0.3, [0x80, 57, 0]), (0.3, [0x81, 57, 0])]
        mixes = []
        for mode in ("off", "unfiltered"):
            samples = render(work, f"console-{mode}", f"console = {mode}\n[channels]\n1 = 1\n2 = 1\n\n" + pulses, two, 0.3)
            mixes.append(samples)
        slow = []
        for mode in ("unfiltered", "nes", "famicom"):
            samples = render(work, f"console-slow-{mode}", f"console = {mode}\n[channels]\n1 = 1\n\n" + pulses,
                             [(0.0, [0x90, 33, 100]), (0.5, [0x80, 33, 0])], 0.5)
            slow.append(samples)
        start = int(0.2 * RATE)
        ordered = ""
        for samples in mixes:
            ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                                  for i in range(int(0.012 * RATE))) + "\n\n\n"
        for samples in slow:
            ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                                  for i in range(int(0.04 * RATE))) + "\n\n\n"
        script = ("set multiplot layout 1,2\nset grid\nset xlabel 'milliseconds'\nset yrange [-0.4:0.4]\n"
                  "set key bottom right\n"
                  "set title 'two pulses at 15 on A3'\n"
                  "plot DATA index 0 using 1:2 with lines title 'console off: added', "
                  "DATA index 1 using 1:2 with lines lw 2 title 'console: the mixer'\n"
                  "set title 'one pulse on A1, through the filters'\nset yrange [-0.2:0.2]\n"
                  "plot DATA index 2 using 1:2 with lines title 'unfiltered', "
                  "DATA index 3 using 1:2 with lines lw 2 title 'NES', "
                  "DATA index 4 using 1:2 with lines title 'Famicom'\nunset multiplot\n")
        plot("console", script, ordered, size="900,360")

        # The VRC6's channels: a few cycles of the pulse at each of its eight
        # widths, and of the saw at four rates, the last two past 42, where
        # the accumulator wraps.
        waves = []
        for duty in range(8):
            samples = render(work, f"vrc6pulse{duty}", program("vrc6-pulse", "15", duty=str(duty)),
                             [(0.0, [0x90, 45, 100]), (0.3, [0x80, 45, 0])], 0.3)
            waves.append((f"VRC6 Pulse, duty {duty}: {duty + 1}/16", samples))
        for rate in (8, 21, 42, 63):
            samples = render(work, f"vrc6saw{rate}", program("vrc6-saw", str(rate)),
                             [(0.0, [0x90, 45, 100]), (0.3, [0x80, 45, 0])], 0.3)
            waves.append((f"VRC6 Saw, volume (rate) {rate}", samples))
        start = int(0.2 * RATE)
        script = "set multiplot layout 3,4\nset grid\nset xlabel 'milliseconds'\nset yrange [-0.3:0.3]\n"
        ordered = ""
        for index, (title, samples) in enumerate(waves):
            script += f"set title '{title}'\nplot DATA index {index} using 1:2 with lines notitle\n"
            ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                                  for i in range(int(0.02 * RATE))) + "\n\n\n"
        plot("vrc6", script + "unset multiplot\n", ordered, size="1400,760")

        # The 5B: what each Duty mode sounds, and the manual's Buzz Bass
        # example from key down to after its release. The tone is drawn at
        # volumes 15 and 11 beside a 2A03 pulse at 15, for the levels.
        held = [(0.0, [0x90, 45, 100]), (0.3, [0x80, 45, 0])]
        panels = [
            ("Duty 0, tone on A2: volume 15, volume 11, a 2A03 pulse at 15",
             [("5B at 15", program("5b", "15", duty="0"), held),
              ("5B at 11", program("5b", "11", duty="0"), held),
              ("2A03 pulse at 15", program("pulse", "15", duty="2"), held)]),
            ("Duty 1, noise on C4: the deepest", [("", program("5b", "15", duty="1"),
                                                   [(0.0, [0x90, 60, 100]), (0.3, [0x80, 60, 0])])]),
            ("Duty 1, noise on C6", [("", program("5b", "15", duty="1"),
                                      [(0.0, [0x90, 84, 100]), (0.3, [0x80, 84, 0])])]),
            ("Duty 2, tone and noise on A2", [("", program("5b", "15", duty="2"), held)]),
            ("Duty 3, saw buzz on A2", [("", program("5b", "15", duty="3"), held)]),
            ("Duty 4, triangle buzz on A2", [("", program("5b", "15", duty="4"), held)]),
        ]
        start = int(0.2 * RATE)
        script = ("set multiplot\nset grid\nset xlabel 'milliseconds'\nset yrange [-0.2:0.3]\n"
                  "set key top left maxrows 1 samplen 2 font ',8'\nset size 0.333,0.32\n")
        ordered = ""
        index = 0
        for number, (title, traces) in enumerate(panels):
            script += f"set origin {number % 3 * 0.333:.3f},{0.68 - number // 3 * 0.32:.2f}\nset title '{title}'\nplot "
            lines = []
            for trace, (label, bank, notes) in enumerate(traces):
                samples = render(work, f"s5b{number}-{trace}", bank, notes, 0.3)
                ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                                      for i in range(int(0.03 * RATE))) + "\n\n\n"
                style = "lw 2" if trace == 0 else "dt 2" if trace == 2 else ""
                lines.append(f"DATA index {index} using 1:2 with lines {style} "
                             + (f"title '{label}'" if label else "notitle"))
                index += 1
            script += ", ".join(lines) + "\n"
        buzz_bass = ("[program 1]\nname = Buzz Bass\nchannel = 5b\n"
                     "volume = 15 13 | 15 / 15 13 11 9 7 5 0\nduty = 2 2 | 3 / 0\n\n")
        samples = render(work, "s5b-buzz-bass", buzz_bass, [(0.0, [0x90, 33, 100]), (0.25, [0x80, 33, 0])], 0.4)
        ordered += "\n".join(f"{i / RATE * 1000:.3f} {s:.5f}" for i, s in enumerate(samples) if i % 2 == 0) + "\n"
        script += ("set origin 0,0\nset size 1,0.36\nset yrange [-0.25:0.25]\n"
                   "set title 'The example Buzz Bass on A1: two frames of tone and noise, the saw buzz while held, "
                   "a tone fading 6 dB a frame after the key goes up'\n"
                   "set arrow from 250, graph 0 to 250, graph 1 nohead dt 2\nset label 'key up' at 253, graph 0.9\n"
                   f"plot DATA index {index} using 1:2 with lines notitle\nunset multiplot\n")
        plot("s5b", script, ordered, size="1400,860")

        # The MMC5 Pulse: its four duties on A3, the 2A03 pulse dashed under
        # duty 2 at the same level; and the manual's Zap example, a slide up
        # past the top of the 2A03 pulse's range, on both chips.
        script = ("set multiplot\nset grid\nset xlabel 'milliseconds'\nset yrange [-0.3:0.3]\n"
                  "set key bottom right\nset size 0.25,0.5\n")
        ordered = ""
        for duty in range(4):
            samples = render(work, f"mmc5duty{duty}", program("mmc5-pulse", "15", duty=str(duty)),
                             [(0.0, [0x90, 57, 100]), (0.3, [0x80, 57, 0])], 0.3)
            ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                                  for i in range(int(0.012 * RATE))) + "\n\n\n"
        samples = render(work, "mmc5-beside", program("pulse", "15", duty="2"),
                         [(0.0, [0x90, 57, 100]), (0.3, [0x80, 57, 0])], 0.3)
        ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                              for i in range(int(0.012 * RATE))) + "\n\n\n"
        widths = ("12.5%", "25%", "50%", "75%")
        for duty in range(4):
            script += f"set origin {duty * 0.25},0.5\nset title 'MMC5 Pulse, duty {duty}: {widths[duty]}'\n"
            if duty == 2:
                script += ("plot DATA index 2 using 1:2 with lines lw 2 title 'MMC5', "
                           "DATA index 4 using 1:2 with lines dt 2 lw 2 title '2A03'\n")
            else:
                script += f"plot DATA index {duty} using 1:2 with lines notitle\n"
        zap = "name = Zap\nvolume = 15\nduty = 1\npitch = | -1\n\n"
        levels = []
        for channel in ("pulse", "mmc5-pulse"):
            samples = render(work, f"zap-{channel}", f"[program 1]\nchannel = {channel}\n" + zap,
                             [(0.0, [0x90, 96, 100]), (1.0, [0x80, 96, 0])], 1.0)
            levels.append(peaks_per_frame(samples))
        # Where the 2A03 pulse fell silent: its period had gone below 8.
        rows = [line.split() for line in levels[0].splitlines()]
        stop = next(float(rows[i][0]) for i in range(1, len(rows))
                    if float(rows[i][1]) < 0.02 <= float(rows[i - 1][1]))
        ordered += levels[0] + "\n\n" + levels[1]
        script += ("set origin 0,0\nset size 1,0.5\nset xlabel 'seconds'\nset ylabel 'peak level per frame'\n"
                   "set yrange [0:0.3]\nset xrange [0:1]\nset key top left\n"
                   "set title 'The example Zap on C7: Pitch | -1 shortens the period a step a frame'\n"
                   f"set arrow from {stop:.4f}, graph 0 to {stop:.4f}, graph 1 nohead dt 2\n"
                   "set label 'period 7 (14 kHz): the 2A03 pulse stops, the MMC5 sounds on' "
                   f"at {stop - 0.42:.3f}, 0.27\n"
                   "plot DATA index 5 using 1:2 with steps lw 2 title '2A03 pulse', "
                   "DATA index 6 using 1:2 with steps lw 2 dt 2 title 'MMC5 Pulse'\nunset multiplot\n")
        plot("mmc5", script, ordered, size="1400,720")

        # The FDS: the manual's Disk Lead, its wave as written and as it
        # sounds through the 2 kHz low-pass, a full square beside a 2A03
        # pulse for the levels, and the Disk Lead's pitch frame by frame:
        # steady for mod-delay frames, then the modulator's vibrato.
        disk_lead = ("[program 1]\nname = Disk Lead\nchannel = fds\nvolume = 20 26 30 32 | 28 / 22 16 10 4 0\n"
                     f"wave = {DISK_LEAD_WAVE}\nmod = {DISK_LEAD_MOD}\nmod-rate = 14\nmod-depth = 2\nmod-delay = 20\n\n")
        held = [(0.0, [0x90, 45, 100]), (0.3, [0x80, 45, 0])]
        start = int(0.2 * RATE)
        ordered = "\n".join(f"{i} {value}\n{i + 1} {value}" for i, value in enumerate(map(int, DISK_LEAD_WAVE.split())))
        ordered += "\n\n\n"
        samples = render(work, "fds-wave", disk_lead, held, 0.3)
        ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                             for i in range(int(0.025 * RATE))) + "\n\n\n"
        square = " ".join(["63"] * 32 + ["0"] * 32)
        for index, bank in enumerate((program("fds", "32") + f"wave = {square}\n", program("pulse", "15"))):
            samples = render(work, f"fds-level{index}", bank, held, 0.3)
            ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                                 for i in range(int(0.025 * RATE))) + "\n\n\n"
        samples = render(work, "fds-vibrato", disk_lead, [(0.0, [0x90, 57, 100]), (1.2, [0x80, 57, 0])], 1.2)
        # From the sixth frame: while the attack's Volume climbs, the wave's
        # centre moves, and the zero crossings would show that as pitch.
        ordered += "\n".join(pitch_per_frame(samples, 57).splitlines()[6:]) + "\n"
        delay = 20 / 60.0
        script = ("set multiplot\nset grid\nset size 0.333,0.5\n"
                  "set origin 0,0.5\nset title 'The Disk Lead wave as written: 64 steps of 0..63'\n"
                  "set xlabel 'step'\nset ylabel 'value'\nset xrange [0:64]\nset yrange [0:63]\n"
                  "plot DATA index 0 using 1:2 with lines lw 2 notitle\n"
                  "set origin 0.333,0.5\nset title 'The Disk Lead on A2, Volume 32: the wave through the 2 kHz low-pass'\n"
                  "set xlabel 'milliseconds'\nset ylabel 'output'\nset xrange [*:*]\nset yrange [-0.35:0.35]\n"
                  "plot DATA index 1 using 1:2 with lines lw 2 notitle\n"
                  "set origin 0.666,0.5\nset title 'A2: a full FDS square (Volume 32) and a 2A03 pulse at 15'\n"
                  "set key bottom right\n"
                  "plot DATA index 2 using 1:2 with lines lw 2 title 'FDS, 2.4 times the step', "
                  "DATA index 3 using 1:2 with lines dt 2 lw 2 title '2A03 pulse'\n"
                  "set origin 0,0\nset size 1,0.5\nset xlabel 'seconds'\nset ylabel 'cents from A3'\n"
                  "set xrange [0:1.2]\nset yrange [-100:100]\n"
                  "set title 'The Disk Lead on A3, pitch frame by frame: mod-delay 20 frames, then the modulator: "
                  "mod-rate 14 (6 Hz), mod-depth 2'\n"
                  f"set arrow from {delay:.4f}, graph 0 to {delay:.4f}, graph 1 nohead dt 2\n"
                  f"set label 'mod-delay: the modulator starts' at {delay + 0.01:.4f}, 90\n"
                  "plot DATA index 4 using 1:2 with steps lw 2 notitle\nunset multiplot\n")
        plot("fds", script, ordered, size="1400,720")

        # The N163: the manual's Wave Pluck, Duty picking its first wave for
        # six frames and its second after; a full swing beside a 2A03 pulse
        # for the levels; and one note in the normal mode beside the console's
        # 163 with 2 and with 8 channels on: an Nth of the level each, the
        # whine of the time-sharing at clock / (15 N), 14.9 kHz with 8.
        pluck = ("name = Wave Pluck\nchannel = n163\nvolume = 15 14 13 12 11 10 | 9 / 6 3 0\n"
                 f"duty = 0 0 0 0 0 0 1\nwave = {WAVE_PLUCK_WAVES}\n\n")
        notes = [(0.0, [0x90, 57, 100]), (0.3, [0x80, 57, 0])]
        samples = render(work, "n163-pluck", "[program 1]\n" + pluck, notes, 0.3)
        ordered = ""
        for at in (0.02, 0.2):
            first = int(at * RATE)
            ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[first + i]:.5f}"
                                 for i in range(int(0.0125 * RATE))) + "\n\n\n"
        full = " ".join(["15"] * 16 + ["0"] * 16)
        for index, bank in enumerate((program("n163", "15", duty="0") + f"wave = {full}\n", program("pulse", "15"))):
            samples = render(work, f"n163-level{index}", bank, notes, 0.3)
            ordered += "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}"
                                 for i in range(int(0.0125 * RATE))) + "\n\n\n"
        modes = ("", "console = unfiltered\nn163-channels = 2\n", "console = unfiltered\nn163-channels = 8\n")
        saw = program("n163", "15", duty="0") + f"wave = {WAVE_PLUCK_WAVES}\n"
        for index, settings in enumerate(modes):
            samples = render(work, f"n163-mode{index}", settings + saw, notes, 0.3)
            ordered += "\n".join(f"{i / RATE * 1000:.4f} {samples[start + i]:.5f}"
                                 for i in range(int(0.005 * RATE))) + "\n\n\n"
        titles = ("The Wave Pluck on A3 at 20 ms: Duty 0, its first wave (the saw)",
                  "... at 200 ms: Duty 1, its second wave (the triangle)",
                  "A3: a wave swinging 0..15 at Volume 15, and a 2A03 pulse at 15",
                  "Normal mode: a 163 for the note alone, one channel, Volume 15",
                  "Console mode, unfiltered, n163-channels = 2: inverted, whine at 59.7 kHz",
                  "n163-channels = 8: a quarter of 2 channels, whine at 14.9 kHz")
        script = ("set multiplot layout 2,3\nset grid\nset xlabel 'milliseconds'\nset ylabel 'output'\n"
                  "set key bottom right\nset yrange [-1:1]\n")
        for index, title in enumerate(titles):
            script += f"set title '{title}'\n"
            if index == 2:
                script += ("plot DATA index 2 using 1:2 with lines lw 2 title 'N163, 6.0 times the step', "
                           "DATA index 3 using 1:2 with lines dt 2 lw 2 title '2A03 pulse'\n")
            else:
                data = index if index < 2 else index + 1
                script += f"plot DATA index {data} using 1:2 with lines notitle\n"
        plot("n163", script + "unset multiplot\n", ordered, size="1400,720")

        # Four factory presets, each one key for half a second: the level
        # frame by frame (their Volume envelopes) and a few cycles of the wave.
        presets = [(1, 69, "001 Plain Pulse 12.5%"), (7, 69, "007 Pulse Solo"), (8, 45, "008 Tri Kick"),
                   (9, 60, "009 Noise Snare")]
        rows = []
        for number, key, title in presets:
            notes = [(0.0, [0xC0, number - 1]), (0.05, [0x90, key, 100]), (0.55, [0x80, key, 0])]
            samples = render(work, f"preset{number}", None, notes, 0.8)
            levels = peaks_per_frame(samples)
            start = int(0.1 * RATE)
            wave_rows = "\n".join(f"{i / RATE * 1000:.3f} {samples[start + i]:.5f}" for i in range(int(0.012 * RATE)))
            rows.append((title, levels, wave_rows + "\n"))
        script = "set multiplot layout 2,4\nset grid\n"
        for index, (title, levels, wave_rows) in enumerate(rows):
            script += (f"set title '{title}'\nset xlabel 'seconds'\nset ylabel 'level per frame'\n"
                       f"set yrange [0:*]\nplot DATA index {2 * index} using 1:2 with steps lw 2 notitle\n")
        for index, (title, levels, wave_rows) in enumerate(rows):
            script += (f"set title '{title}: the wave at 0.1 s'\nset xlabel 'milliseconds'\nset ylabel 'output'\n"
                       f"set yrange [-0.5:0.5]\nplot DATA index {2 * index + 1} using 1:2 with lines notitle\n")
        # Data blocks in the order the plots take them: levels and waves alternate.
        ordered = ""
        for title, levels, wave_rows in rows:
            ordered += levels + "\n\n" + wave_rows + "\n\n"
        plot("presets", script + "unset multiplot\n", ordered, size="1400,560")


main()
