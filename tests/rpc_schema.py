"""The realistic messaging schema of tests/data and sample messages built
from it, shared by the tests and the benchmarks.

    from rpc_schema import schema_json, small_message, typical_message

The samples are dicts in the form `SorbParser.pack` takes and `unpack`
gives back (keys in schema order, every parameter present), so a round trip
returns them unchanged; each builder takes a seed and is deterministic.
"""
import functools
import json
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA_PATH = os.path.join(HERE, "data", "rpc_schema.json")

_WORDS = ("hello there how are you doing today the meeting moved to friday "
          "see the photo I sent yesterday lunch at noon sounds great "
          "thanks a lot ok sure on my way call me later").split()
_NAMES = ("Ada", "Brook", "Cyril", "Dana", "Emil", "Farah", "Goran", "Hana",
          "Ivo", "Jun", "Kira", "Lev", "Mila", "Nour", "Oskar", "Pia")


@functools.cache
def schema_json():
    """The schema as JSON text, as SorbParser takes it."""
    with open(SCHEMA_PATH, encoding="utf-8") as f:
        return f.read()


@functools.cache
def schema():
    """The schema as a dict (a fresh decode is cached: do not modify it)."""
    return json.loads(schema_json())


def _sentence(rng, low, high):
    return " ".join(rng.choice(_WORDS) for _ in range(rng.randint(low, high)))


def _peer_user(user_id):
    return {"_": "peerUser", "user_id": user_id}


def user(rng, user_id):
    first = rng.choice(_NAMES)
    return {
        "_": "user", "me": False, "contact": rng.random() < 0.5, "mutual": False,
        "bot": False, "official": False, "deleted": False, "limited": False,
        "premium": rng.random() < 0.3, "close_friend": False, "hides_stories": False,
        "id": user_id, "access_key": rng.getrandbits(64),
        "first_name": first, "last_name": rng.choice(_NAMES) + "son",
        "username": first.lower() + str(rng.randint(1, 999)), "phone": None,
        "avatar": {"_": "avatar", "animated": False, "avatar_id": rng.getrandbits(64),
                   "preview": rng.randbytes(rng.randint(8, 24)), "dc": rng.randint(1, 5)},
        "presence": {"_": "presenceAway", "since": 1_700_000_000 + rng.randint(0, 10**6)},
        "bot_version": None, "locale": None, "limit_notices": None, "badge": None,
        "handles": None, "accent": {"_": "accent", "palette": rng.randint(0, 6), "pattern_id": None},
        "profile_accent": None, "story_max_id": None, "monthly_users": None,
    }


def group(rng, group_id):
    return {
        "_": "group", "creator": False, "left": False, "deactivated": False, "protected": False,
        "id": group_id, "title": _sentence(rng, 1, 3).title(),
        "photo": {"_": "groupPhoto", "animated": False, "photo_id": rng.getrandbits(64),
                  "preview": rng.randbytes(16), "dc": 2},
        "member_count": rng.randint(3, 200), "date": 1_690_000_000, "version": rng.randint(1, 40),
        "moved_to": None, "admin_rights": None, "default_rights": None,
    }


def _photo(rng):
    return {
        "_": "photo", "has_stickers": False, "id": rng.getrandbits(64),
        "access_key": rng.getrandbits(64), "file_reference": rng.randbytes(20),
        "date": 1_700_000_000,
        "sizes": [
            {"_": "photoSizePreview", "kind": "i", "data": rng.randbytes(40)},
            {"_": "photoSize", "kind": "m", "w": 320, "h": 240, "size": rng.randint(10**4, 10**5)},
            {"_": "photoSizeProgressive", "kind": "y", "w": 1280, "h": 960,
             "sizes": sorted(rng.randint(10**4, 10**6) for _ in range(4))},
        ],
        "video_sizes": None, "dc": 4,
    }


def message(rng, msg_id, from_id, peer, *, media=False, reply_to=None):
    text = _sentence(rng, 3, 14)
    spans = []
    if rng.random() < 0.5:
        spans.append({"_": "textSpanBold", "offset": 0, "length": min(5, len(text))})
    return {
        "_": "message", "out": False, "mentioned": False, "media_unread": False,
        "silent": False, "post": False, "from_scheduled": False, "edit_hidden": False,
        "pinned": False, "protected": False, "invert_media": False, "offline": False,
        "id": msg_id, "from_id": _peer_user(from_id), "boosts": None, "peer_id": peer,
        "saved_peer_id": None, "fwd_from": None, "via_bot_id": None,
        "reply_to": None if reply_to is None else {
            "_": "replyToMessage", "mentioned": False, "forum_topic": False, "quote": False,
            "reply_to_msg_id": reply_to, "reply_to_peer_id": None, "reply_header": None,
            "reply_media": None, "reply_to_top_id": None, "quote_text": None,
            "quote_spans": None, "quote_offset": None},
        "date": 1_700_000_000 + msg_id * 17, "text": text,
        "media": {"_": "mediaPhoto", "spoiler": False, "photo": _photo(rng),
                  "ttl_seconds": None} if media else None,
        "markup": None, "spans": spans or None, "views": None, "forwards": None,
        "replies": None, "edit_date": None, "post_author": None, "grouped_id": None,
        "reactions": {"_": "msgReactions", "min": False, "can_see_list": False, "results": [
            {"_": "reactionCount", "chosen_order": None,
             "reaction": {"_": "reactionEmoji", "emoji": "\U0001f44d"}, "count": rng.randint(1, 9)},
        ], "recent_reactions": None} if rng.random() < 0.4 else None,
        "limit_notices": None, "ttl_period": None, "shortcut_id": None, "effect": None,
        "score": None,
    }


def message_list(rng, n_messages, n_users, n_groups=1):
    users = [1000 + 7 * i for i in range(n_users)]
    groups = [500_000 + i for i in range(n_groups)]
    messages = []
    for i in range(n_messages):
        peer = {"_": "peerGroup", "group_id": rng.choice(groups)}
        messages.append(message(rng, 9000 + i, rng.choice(users), peer,
                                media=i % 4 == 1, reply_to=9000 + i - 1 if i % 3 == 2 else None))
    return {
        "_": "messages.messagesSlice", "inexact": False, "count": 10_000 + n_messages,
        "next_rate": None, "offset_id_offset": None, "messages": messages,
        "groups": [group(rng, g) for g in groups],
        "users": [user(rng, u) for u in users],
    }


def small_message(seed=1):
    """About 100 bytes: a text message sent to a group."""
    rng = random.Random(seed)
    return {
        "_": "messages.sendMessage", "no_preview": False, "silent": False, "background": False,
        "clear_draft": True, "noforwards": False, "update_sticker_order": False,
        "invert_media": False,
        "peer": {"_": "inputPeerFeed", "feed_id": rng.getrandbits(40), "access_key": rng.getrandbits(64)},
        "reply_to": {"_": "inputReplyToMessage", "reply_to_msg_id": 8812, "top_msg_id": None,
                     "reply_to_peer_id": None, "quote_text": None, "quote_spans": None,
                     "quote_offset": None},
        "text": "see you at the station at 9", "random_id": rng.getrandbits(63),
        "markup": None, "spans": [{"_": "textSpanBold", "offset": 11, "length": 7}],
        "schedule_date": None, "send_as": None, "shortcut": None, "effect": None,
    }


def typical_message(seed=2):
    """About 1 KB: a page of history with its users and one group."""
    return message_list(random.Random(seed), n_messages=5, n_users=2)


def large_message(seed=3):
    """About 64 KB: a long page of history."""
    return message_list(random.Random(seed), n_messages=350, n_users=60, n_groups=4)
