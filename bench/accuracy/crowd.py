"""A crowd: several people talking at once, spoken by espeak-ng.

Every excerpt gets its own crowd, drawn from a generator seeded by the
recording's title and the excerpt number: different languages and voices,
texts, speeds, pitches, start points and levels, so no two queries share
their babble and nothing in it can be learnt.
"""

import dataclasses
import math
import os
import random

import numpy as np

import media

TALKERS = 4


_TEXTS = {
    "en": [
        "So I told him we would meet at the station at half past six, but "
        "he never turned up and his phone was switched off all evening.",
        "The new bakery on the corner sells bread until noon, and after that "
        "they only have those little almond cakes everybody seems to like.",
        "Did you see the match last night? They scored twice in the last ten "
        "minutes and the whole stadium was on its feet.",
        "My sister is moving to the coast next month, so we are driving down "
        "with a van full of boxes on Saturday morning.",
        "Honestly the meeting went on for three hours and we still have not "
        "decided who is going to write the report.",
        "If the weather holds we could take the boat out tomorrow and have "
        "lunch on the island before the wind picks up.",
        "I ordered the soup, and it came cold, and then they brought the "
        "bill before we had even finished our drinks.",
        "The library closes early on Fridays, which is annoying because that "
        "is the only day I have time to go there.",
    ],
    "de": [
        "Wir haben uns gestern Abend im Biergarten getroffen, und dann hat es "
        "ploetzlich angefangen zu regnen.",
        "Der Bus kommt heute wieder zu spaet, ich warte schon seit einer "
        "Viertelstunde an dieser Haltestelle.",
        "Meine Kollegin faehrt naechste Woche in den Urlaub, deshalb muss ich "
        "ihre Kunden uebernehmen.",
        "Das Konzert war ausverkauft, aber ein Freund hatte noch zwei Karten "
        "fuer die hinteren Reihen.",
    ],
    "fr": [
        "On s'est retrouves au cafe vers midi, et puis on a marche le long "
        "du canal jusqu'a la gare.",
        "Mon voisin refait toute sa cuisine, alors on entend la perceuse du "
        "matin jusqu'au soir.",
        "Tu crois qu'il reste encore des places pour le film de ce soir, ou "
        "faut-il reserver a l'avance?",
        "Le marche du samedi est plus grand que celui du mercredi, il y a "
        "meme un marchand de fromages.",
    ],
    "es": [
        "Ayer fuimos a cenar a un restaurante nuevo y la comida estaba "
        "buenisima, pero tardaron mucho en servirnos.",
        "Mi hermano vuelve de Madrid el jueves, asi que tenemos que preparar "
        "la habitacion de invitados.",
        "El tren salio con veinte minutos de retraso y llegamos justo a "
        "tiempo para la reunion.",
        "Este verano queremos alquilar una casa cerca de la playa con unos "
        "amigos de la universidad.",
    ],
    "it": [
        "Domani mattina devo portare la macchina dal meccanico, perche fa un "
        "rumore strano quando freno.",
        "Abbiamo mangiato una pizza enorme in quel locale vicino alla piazza, "
        "e poi un gelato al limone.",
        "La riunione e stata spostata a giovedi, quindi possiamo finire il "
        "progetto con piu calma.",
        "Mia nonna racconta sempre le stesse storie, ma noi le ascoltiamo "
        "volentieri ogni domenica.",
    ],
}
_LANGUAGES = [("en-us", "en"), ("en-gb", "en"), ("de", "de"),
              ("fr-fr", "fr"), ("es", "es"), ("it", "it")]
_VARIANTS = ["m1", "m2", "m3", "m4", "m5", "m6", "m7", "f1", "f2", "f3", "f4"]


@dataclasses.dataclass(frozen=True)
class Talker:
    """One talker of a crowd, as espeak-ng is asked to speak."""
    voice: str         # espeak-ng -v, with a variant
    words_per_min: int  # -s
    pitch: int         # -p, 0-99
    text: str
    start_s: float     # where in the (looped) speech the clip starts
    level_db: float    # relative to the other talkers


def talkers(excerpt, count=TALKERS):
    """The talkers of this excerpt's crowd, seeded by the recording and
    the excerpt number."""
    rng = random.Random("plim-crowd-1:%s:%d" % (excerpt.recording.id,
                                                excerpt.index))
    people = []
    for voice, language in rng.sample(_LANGUAGES, count):
        people.append(Talker(
            "%s+%s" % (voice, rng.choice(_VARIANTS)),
            rng.randint(140, 190), rng.randint(25, 75),
            " ".join(rng.sample(_TEXTS[language], 3)),
            round(rng.uniform(0.0, 4.0), 3), round(rng.uniform(-4.0, 4.0), 2)))
    return people


def babble(people, rate_hz, channels, seconds, scratch_dir):
    """The talkers summed: float samples, interleaved, exactly `seconds`
    long at this rate and channel count. Each talker is scaled to the same
    RMS, then by its level_db. Temporary files go in scratch_dir."""
    frames = int(round(seconds * rate_hz))
    total = np.zeros(frames * channels)
    for n, v in enumerate(people):
        name = scratch_dir / (".babble-%d-%d" % (os.getpid(), n))
        with media.scratch(name, ".raw.wav") as raw, \
                media.scratch(name, ".wav") as spoken:
            media.run_tool(["espeak-ng", "-v", v.voice, "-s", v.words_per_min,
                            "-p", v.pitch, "-w", raw, v.text])
            # Looped, so that a late start point still fills the clip.
            repeats = math.ceil((v.start_s + seconds) /
                                max(0.5, media.duration_s(raw)))
            media.run_tool(media.SOX + [
                raw, "-b", "16", "-r", rate_hz, "-c", channels, spoken,
                "repeat", repeats, "trim", "%.3f" % v.start_s,
                "%.3f" % seconds])
            speech = media.read_wav(spoken)[2][:total.size].astype(np.float64)
        level = media.rms(speech)
        if level:
            total[:speech.size] += speech * (10.0 ** (v.level_db / 20.0)
                                              / level)
    return total
