"""A second realistic shape for the sorb benchmark: a history page of short
chat messages with their senders.

    from chat_schema import schema_json, small_message, medium_message, large_message

Users carry a flags word, a long id, optional strings and an optional
nested profile photo with a bytes field; messages carry a flags word, a few
ints, a string and an optional vector of small entity objects (bold, link,
mention spans). A page holds N messages and N/4 users: small is one message
and one user, medium 20 messages (about 50 objects, 2.8 KB on the wire),
large 400 messages (about 1,000 objects, 45 KB).

The messages are dicts in the form `SorbParser.pack` takes and `unpack`
gives back (keys in schema order, every parameter present), so a round trip
returns them unchanged; each builder is deterministic.
"""
import functools
import json
import random

_WORDS = ("hello there how are you doing today the meeting moved to friday "
          "see the photo I sent yesterday lunch at noon sounds great "
          "thanks a lot ok sure on my way call me later").split()
_NAMES = ("Ada", "Brook", "Cyril", "Dana", "Emil", "Farah", "Goran", "Hana",
          "Ivo", "Jun", "Kira", "Lev", "Mila", "Nour", "Oskar", "Pia")


def _param(name, type_text):
    return {"name": name, "type": type_text}


_CONSTRUCTORS = [
    {"id": 0x4f11bae1, "predicate": "userProfilePhotoEmpty", "type": "UserProfilePhoto",
     "params": []},
    {"id": -2100168954, "predicate": "userProfilePhoto", "type": "UserProfilePhoto",
     "params": [_param("flags", "#"), _param("has_video", "flags.0?true"),
                _param("personal", "flags.2?true"), _param("photo_id", "long"),
                _param("stripped_thumb", "flags.1?bytes"), _param("dc_id", "int")]},
    {"id": 0x215c4438, "predicate": "user", "type": "User",
     "params": [_param("flags", "#"), _param("self", "flags.10?true"),
                _param("contact", "flags.11?true"), _param("mutual_contact", "flags.12?true"),
                _param("deleted", "flags.13?true"), _param("bot", "flags.14?true"),
                _param("verified", "flags.17?true"), _param("premium", "flags.28?true"),
                _param("id", "long"), _param("access_hash", "flags.0?long"),
                _param("first_name", "flags.1?string"), _param("last_name", "flags.2?string"),
                _param("username", "flags.3?string"), _param("phone", "flags.4?string"),
                _param("photo", "flags.5?UserProfilePhoto"),
                _param("bot_info_version", "flags.14?int"),
                _param("lang_code", "flags.22?string")]},
    {"id": -1117713463, "predicate": "messageEntityBold", "type": "MessageEntity",
     "params": [_param("offset", "int"), _param("length", "int")]},
    {"id": 1859134776, "predicate": "messageEntityUrl", "type": "MessageEntity",
     "params": [_param("offset", "int"), _param("length", "int")]},
    {"id": -100378723, "predicate": "messageEntityMention", "type": "MessageEntity",
     "params": [_param("offset", "int"), _param("length", "int")]},
    {"id": 0x38116ee0, "predicate": "chatMessage", "type": "Message",
     "params": [_param("flags", "#"), _param("out", "flags.1?true"),
                _param("mentioned", "flags.4?true"), _param("silent", "flags.13?true"),
                _param("pinned", "flags.24?true"), _param("id", "int"),
                _param("from_id", "flags.8?int"), _param("peer_id", "int"),
                _param("reply_to_msg_id", "flags.3?int"), _param("date", "int"),
                _param("message", "string"),
                _param("entities", "flags.7?Vector<MessageEntity>"),
                _param("views", "flags.10?int"), _param("edit_date", "flags.15?int")]},
    {"id": 0x8c718e87, "predicate": "messages.chatHistory", "type": "messages.Messages",
     "params": [_param("messages", "Vector<Message>"), _param("users", "Vector<User>")]},
]


@functools.cache
def schema_json():
    """The schema as JSON text, as SorbParser takes it."""
    return json.dumps({"constructors": _CONSTRUCTORS, "methods": []})


def _sentence(rng, low, high):
    return " ".join(rng.choice(_WORDS) for _ in range(rng.randint(low, high)))


def user(rng, user_id):
    first = rng.choice(_NAMES)
    has_photo = rng.random() < 0.7
    return {
        "_": "user", "self": False, "contact": rng.random() < 0.5, "mutual_contact": False,
        "deleted": False, "bot": False, "verified": False, "premium": rng.random() < 0.3,
        "id": user_id, "access_hash": rng.getrandbits(63),
        "first_name": first, "last_name": rng.choice(_NAMES) + "son" if rng.random() < 0.6 else None,
        "username": first.lower() + str(rng.randint(1, 999)) if rng.random() < 0.5 else None,
        "phone": None,
        "photo": {"_": "userProfilePhoto", "has_video": False, "personal": False,
                  "photo_id": rng.getrandbits(63), "stripped_thumb": rng.randbytes(rng.randint(20, 40)),
                  "dc_id": rng.randint(1, 5)} if has_photo else None,
        "bot_info_version": None, "lang_code": "en" if rng.random() < 0.4 else None,
    }


def _entities(rng, text):
    spans = []
    for _ in range(rng.choice((0, 1, 1, 2, 2))):
        kind = rng.choice(("messageEntityBold", "messageEntityUrl", "messageEntityMention"))
        offset = rng.randint(0, max(0, len(text) - 4))
        spans.append({"_": kind, "offset": offset, "length": rng.randint(1, len(text) - offset)})
    return spans or None


def message(rng, msg_id, from_id, peer_id):
    text = _sentence(rng, 4, 18)
    return {
        "_": "chatMessage", "out": rng.random() < 0.3, "mentioned": False, "silent": False,
        "pinned": False, "id": msg_id, "from_id": from_id, "peer_id": peer_id,
        "reply_to_msg_id": msg_id - 1 if msg_id % 5 == 0 else None,
        "date": 1_700_000_000 + msg_id * 13, "message": text,
        "entities": _entities(rng, text),
        "views": None, "edit_date": 1_700_100_000 + msg_id if msg_id % 7 == 0 else None,
    }


def history(n_messages, seed):
    rng = random.Random(seed)
    users = [100_000 + 37 * i for i in range(max(1, n_messages // 4))]
    return {
        "_": "messages.chatHistory",
        "messages": [message(rng, 5000 + i, rng.choice(users), 777_000) for i in range(n_messages)],
        "users": [user(rng, u) for u in users],
    }


def small_message(seed=11):
    """One message and its sender."""
    return history(1, seed)


def medium_message(seed=12):
    """20 messages and 5 users, about 50 objects."""
    return history(20, seed)


def large_message(seed=13):
    """400 messages and 100 users, about 1,000 objects."""
    return history(400, seed)
