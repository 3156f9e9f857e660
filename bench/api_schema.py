"""A large generated schema shaped like a real messaging API's published
one, and messages built from it the way application code builds them.

    from api_schema import schema_json, SHAPES
    for name, build in SHAPES: message = build()

The schema has about 2,500 entries and 8,000 parameters: a hand-written
core (members, rooms, posts, text spans, pages of history) and generated
families around it in namespaces, with the traits such schemas have: wide
constructors of 20 to 30 parameters, most of them conditional
("flags.N?true", "flags2.N?..."), ids as signed decimal text, vectors of
objects, nested types, and methods with a generic "!X" parameter. Every
id is the CRC32 of the entry's one-line form, as schema files carry them.

Shapes, each at about 200 B, 3 KB and 50 KB of sorb wire form:

- wide-schema, wide-random, wide-unpacked: pages of members and rooms, wide
  constructors of which 3 to 10 parameters are present. The same content
  with the keys given (a) in schema order and only those present, (b) the
  same keys in a random order, (c) every key, absent ones None or False,
  as `unpack` returns them.
- history: a page of posts with their senders and rooms, built as programs
  build them: the keys at hand first, optional ones added afterwards, so
  partly out of schema order.

Keys are interned, as the literal keys of a program are. Builders are
deterministic.
"""
import functools
import json
import random
import sys
import zlib

_NAMESPACES = ("account", "auth", "bots", "rooms", "members", "directory", "help", "history",
               "files", "payments", "calls", "stickers", "stories", "updates", "uploads",
               "folders", "premium", "stats", "langs", "drafts", "polls", "links")
_NOUNS = ("access", "action", "address", "alert", "answer", "archive", "badge", "banner",
          "block", "boost", "button", "card", "catalog", "chart", "check", "code", "color",
          "config", "contact", "counter", "cover", "credit", "delay", "device", "digest",
          "domain", "draft", "effect", "emoji", "entry", "event", "export", "feature", "field",
          "filter", "forum", "frame", "gift", "grant", "group", "guard", "handle", "hint",
          "import", "index", "invite", "invoice", "item", "key", "label", "layer", "level",
          "limit", "link", "locale", "marker", "mask", "media", "mention", "method", "mode",
          "note", "notice", "offer", "option", "origin", "owner", "page", "pass", "path",
          "peer", "pin", "place", "plan", "point", "policy", "poll", "preset", "preview",
          "price", "prize", "profile", "prompt", "quota", "range", "rank", "rate", "reaction",
          "receipt", "record", "region", "reply", "report", "request", "result", "role",
          "round", "rule", "scope", "screen", "seal", "search", "secret", "section", "seed",
          "session", "setting", "share", "signal", "slot", "source", "span", "stamp",
          "state", "status", "step", "sticker", "story", "style", "subject", "summary",
          "tab", "tag", "task", "theme", "thread", "ticket", "token", "topic", "track",
          "trend", "upload", "usage", "venue", "view", "vote", "wallet", "window", "zone")
_VARIANTS = ("Empty", "Full", "Short", "Default", "Custom", "Pending", "Expired", "Local",
             "Remote", "Hidden", "Public", "Private", "Basic", "Extended", "Legacy", "Manual")
_VERBS = ("get", "set", "check", "update", "delete", "send", "edit", "search", "export",
          "import", "toggle", "reorder", "save", "report", "resolve", "install", "join",
          "leave", "create", "reset", "confirm", "accept", "decline", "list", "read", "mark")
_FIELDS = ("id", "access_key", "title", "about", "date", "until", "offset", "limit", "hash",
           "count", "query", "peer", "user_id", "room_id", "msg_id", "random_id", "url", "text",
           "data", "name", "kind", "version", "period", "expires", "score", "rank", "color",
           "emoji", "slug", "price", "amount", "currency", "reason", "source", "platform",
           "phone", "code", "hint", "lang", "layer", "width", "height", "duration", "size",
           "mime_type", "file_name", "thumb", "caption", "option", "votes", "total", "min_id",
           "max_id", "next_offset", "prev_id", "top_id", "folder_id", "pts", "qts", "seq",
           "chosen", "order", "pinned", "position", "radius", "lat", "lon", "address", "label")
_FLAG_NAMES = ("silent", "pinned", "muted", "hidden", "archived", "public", "verified",
               "premium", "official", "deleted", "edited", "final", "primary", "enabled",
               "inexact", "partial", "forced", "exclusive", "restricted", "broadcast", "min",
               "unread", "outgoing", "scheduled", "anonymous", "blocked", "default", "dark")

# The hand-written core: what the messages below are made of. One line per
# entry, "name param:type ... = Result".
_CORE = """
peerMember member_id:long = Peer
peerRoom room_id:long = Peer
avatarNone = Avatar
avatar flags:# animated:flags.0?true avatar_id:long preview:flags.1?bytes dc:int = Avatar
presenceUnknown = Presence
presenceOnline until:int = Presence
presenceAway since:int = Presence
limitNotice platform:string reason:string text:string = LimitNotice
handle flags:# editable:flags.0?true active:flags.1?true name:string = Handle
badgeNone = Badge
badge flags:# emoji_id:long until:flags.0?int = Badge
accent flags:# palette:flags.0?int pattern_id:flags.1?long = Accent
memberGone id:long = Member
member flags:# is_self:flags.10?true in_contacts:flags.11?true mutual:flags.12?true removed:flags.13?true automated:flags.14?true checked:flags.17?true limited:flags.18?true partial:flags.20?true support:flags.23?true spam:flags.24?true impostor:flags.26?true subscriber:flags.28?true flags2:# favourite:flags2.2?true stories_hidden:flags2.3?true id:long access_key:flags.0?long given_name:flags.1?string family_name:flags.2?string handle:flags.3?string phone:flags.4?string avatar:flags.5?Avatar presence:flags.6?Presence bot_version:flags.14?int limits:flags.18?Vector<LimitNotice> placeholder:flags.19?string locale:flags.22?string badge:flags.30?Badge handles:flags2.0?Vector<Handle> story_max_id:flags2.5?int accent:flags2.8?Accent = Member
roomPhotoNone = RoomPhoto
roomPhoto flags:# animated:flags.0?true photo_id:long preview:flags.1?bytes dc:int = RoomPhoto
rights flags:# read:flags.0?true post:flags.1?true post_media:flags.2?true invite:flags.3?true pin:flags.4?true manage:flags.5?true until:int = Rights
roomGone id:long = Room
room flags:# creator:flags.0?true left:flags.2?true broadcast:flags.5?true checked:flags.7?true megaroom:flags.8?true limited:flags.9?true signatures:flags.11?true has_link:flags.20?true slow_mode:flags.22?true forum:flags.30?true flags2:# stories_hidden:flags2.1?true id:long access_key:flags.13?long title:string handle:flags.6?string photo:RoomPhoto date:int limits:flags.9?Vector<LimitNotice> admin_rights:flags.14?Rights banned_rights:flags.15?Rights default_rights:flags.18?Rights member_count:flags.17?int handles:flags2.0?Vector<Handle> story_max_id:flags2.4?int accent:flags2.7?Accent level:flags2.10?int = Room
spanBold offset:int length:int = Span
spanItalic offset:int length:int = Span
spanCode offset:int length:int = Span
spanUrl offset:int length:int = Span
spanLink offset:int length:int url:string = Span
spanMention offset:int length:int member_id:long = Span
replyHeader flags:# quote:flags.9?true reply_to_id:flags.4?int reply_to_peer:flags.0?Peer top_id:flags.1?int quote_text:flags.6?string = ReplyHeader
postViews flags:# views:flags.0?int forwards:flags.1?int = PostViews
postEmpty flags:# id:int peer_id:flags.0?Peer = Post
post flags:# out:flags.1?true mentioned:flags.4?true media_unread:flags.5?true silent:flags.13?true announcement:flags.14?true from_schedule:flags.18?true legacy:flags.19?true edit_hidden:flags.21?true pinned:flags.24?true noforwards:flags.26?true flags2:# offline:flags2.1?true id:int from_id:flags.8?Peer peer_id:Peer reply_to:flags.3?ReplyHeader date:int text:string spans:flags.7?Vector<Span> views:flags.10?PostViews edit_date:flags.15?int author:flags.16?string grouped_id:flags.17?long ttl_period:flags.25?int = Post
history.page flags:# inexact:flags.1?true count:int next_rate:flags.0?int posts:Vector<Post> rooms:Vector<Room> members:Vector<Member> = history.Page
directory.found my_results:Vector<Peer> results:Vector<Peer> rooms:Vector<Room> members:Vector<Member> = directory.Found
"""

_CORE_METHODS = """
invokeWithLayer layer:int query:!X = X
invokeAfterMsg msg_id:long query:!X = X
invokeWithoutUpdates query:!X = X
initConnection flags:# api_id:int device_model:string system_version:string app_version:string lang_code:string proxy:flags.0?InputProxy params:flags.1?JSONValue query:!X = X
history.getPage peer:Peer offset_id:int offset_date:int add_offset:int limit:int max_id:int min_id:int hash:long = history.Page
directory.search q:string limit:int = directory.Found
"""

_EXTRA_CORE = """
inputProxy address:string port:int = InputProxy
jsonNull = JSONValue
jsonBool value:Bool = JSONValue
jsonNumber value:double = JSONValue
jsonString value:string = JSONValue
jsonArray value:Vector<JSONValue> = JSONValue
jsonObjectValue key:string value:JSONValue = JSONObjectValue
jsonObject value:Vector<JSONObjectValue> = JSONValue
"""

_SCALARS = ("int", "long", "string", "bytes", "Bool", "double")
ENTRIES = 2500
# Parameters per generated entry, as (count, weight): most entries are
# small; a few are wide.
_SIZES = ((0, 30), (1, 24), (2, 17), (3, 12), (4, 9), (5, 6), (6, 4), (7, 3), (8, 2),
          (10, 2), (12, 1), (16, 1), (22, 1), (26, 1), (30, 1))


def _one_line(name, params, result):
    return " ".join([name] + [f"{n}:{t}" for n, t in params] + ["=", result])


def _parse(line):
    left, result = (part.strip() for part in line.split("="))
    name, *params = left.split()
    return name, [tuple(p.split(":", 1)) for p in params], result


def _entry(kind, name, params, result):
    crc = zlib.crc32(_one_line(name, params, result).encode())
    signed = crc - (1 << 32) if crc >= 1 << 31 else crc
    return {"id": str(signed), kind: name,
            "params": [{"name": n, "type": t} for n, t in params], "type": result}


def _generated_params(rng, count, types):
    """count parameters of a generated entry: a flags word (and flags2 for
    a wide one) when some are conditional, names unique within the entry."""
    params = []
    if count == 0:
        return params
    wide = count >= 16
    conditional_share = 0.7 if wide else 0.35
    names = set()
    bits = {"flags": 0, "flags2": 0}
    body = []
    for _ in range(count):
        name = rng.choice(_FIELDS + _FLAG_NAMES)
        while name in names or name in ("flags", "flags2"):
            name = f"{rng.choice(_FIELDS)}_{rng.choice(_FIELDS)}"
        names.add(name)
        roll = rng.random()
        if roll < 0.55:
            type_text = rng.choice(_SCALARS)
        elif roll < 0.7:
            type_text = rng.choice(types)
        elif roll < 0.8:
            type_text = f"Vector<{rng.choice(types)}>"
        else:
            type_text = f"Vector<{rng.choice(('long', 'int', 'string'))}>"
        if rng.random() < conditional_share:
            word = "flags2" if wide and bits["flags"] >= 20 and rng.random() < 0.5 else "flags"
            if name in _FLAG_NAMES or rng.random() < 0.3:
                type_text = "true"
            type_text = f"{word}.{bits[word]}?{type_text}"
            bits[word] += 1
        body.append((name, type_text))
    if bits["flags"]:
        params.append(("flags", "#"))
    if bits["flags2"]:
        params.append(("flags2", "#"))
    return params + body


@functools.cache
def schema():
    """The schema as a dict, "constructors" then "methods"."""
    rng = random.Random(2500)
    constructors = [_entry("predicate", *_parse(line))
                    for line in (_CORE + _EXTRA_CORE).split("\n") if line]
    methods = [_entry("method", *_parse(line)) for line in _CORE_METHODS.split("\n") if line]
    core_types = sorted({c["type"] for c in constructors})
    # Generated result types, each with a few constructors; methods return
    # them (or Bool, or a vector) and take them as parameters.
    generated_types = []
    for ns in _NAMESPACES:
        for noun in rng.sample(_NOUNS, 40):
            generated_types.append(f"{ns}.{noun[0].upper()}{noun[1:]}")
    sizes, weights = zip(*_SIZES)
    names = {c["predicate"] for c in constructors} | {m["method"] for m in methods}
    target_constructors = ENTRIES * 2 // 3
    type_pool = core_types + generated_types
    for result in generated_types:
        if len(constructors) >= target_constructors:
            break
        ns, bare = result.split(".")
        stem = bare[0].lower() + bare[1:]
        for variant in [""] + rng.sample(_VARIANTS, rng.choice((0, 1, 1, 2, 3))):
            name = f"{ns}.{stem}{variant}"
            if name in names:
                continue
            names.add(name)
            count = rng.choices(sizes, weights)[0] if variant != "Empty" else 0
            # A type's parameters nest only types made before it, so every
            # value has an end.
            params = _generated_params(rng, count, type_pool[:len(core_types) + 1 +
                                                             generated_types.index(result) // 2])
            constructors.append(_entry("predicate", name, params, result))
    made = sorted({c["type"] for c in constructors})
    while len(constructors) + len(methods) < ENTRIES:
        name = f"{rng.choice(_NAMESPACES)}.{rng.choice(_VERBS)}{rng.choice(_NOUNS).title()}" \
               f"{rng.choice(('', '', 's', 'Info', 'List', 'State'))}"
        if name in names:
            continue
        names.add(name)
        result = rng.choice(made + ["Bool", "Bool", "Vector<long>", "Updates"])
        params = _generated_params(rng, rng.choices(sizes, weights)[0], made)
        methods.append(_entry("method", name, params, result))
    return {"constructors": constructors, "methods": methods}


@functools.cache
def schema_json():
    """The schema as one line of JSON text, as SorbParser takes it."""
    return json.dumps(schema())


# ---- messages -------------------------------------------------------------------

_WORDS = ("hello there how are you doing today the meeting moved to friday "
          "see the photo I sent yesterday lunch at noon sounds great "
          "thanks a lot ok sure on my way call me later").split()
_GIVEN = ("Ada", "Brook", "Cyril", "Dana", "Emil", "Farah", "Goran", "Hana",
          "Ivo", "Jun", "Kira", "Lev", "Mila", "Nour", "Oskar", "Pia")


@functools.cache
def _params_of(name):
    for entry in schema()["constructors"]:
        if entry.get("predicate") == name:
            return [(sys.intern(p["name"]), p["type"]) for p in entry["params"]]
    raise KeyError(name)


def _sentence(rng, low, high):
    return " ".join(rng.choice(_WORDS) for _ in range(rng.randint(low, high)))


def _present_member(rng, member_id):
    """A member's present parameters: the id, 3 to 10 values in all."""
    given = rng.choice(_GIVEN)
    optional = {
        "access_key": rng.getrandbits(63),
        "given_name": given,
        "family_name": rng.choice(_GIVEN) + "sen",
        "handle": given.lower() + str(rng.randint(1, 999)),
        "avatar": {"_": "avatar", "avatar_id": rng.getrandbits(63),
                   "preview": rng.randbytes(rng.randint(8, 24)), "dc": rng.randint(1, 5)},
        "presence": {"_": "presenceAway", "since": 1_700_000_000 + rng.randint(0, 10**6)},
        "in_contacts": True, "mutual": True,
        "locale": "en", "accent": {"_": "accent", "palette": rng.randint(0, 6)},
        "favourite": True, "story_max_id": rng.randint(1, 300),
    }
    keys = ["access_key", "given_name"] + rng.sample(sorted(set(optional) - {"access_key", "given_name"}),
                                                      rng.randint(0, 7))
    return {"_": "member", "id": member_id, **{k: optional[k] for k in keys}}


def _present_room(rng, room_id):
    optional = {
        "access_key": rng.getrandbits(63), "handle": "room" + str(room_id % 1000),
        "broadcast": True, "megaroom": True, "member_count": rng.randint(3, 50_000),
        "level": rng.randint(1, 10), "signatures": True,
        "default_rights": {"_": "rights", "read": True, "post": True, "until": 0},
    }
    keys = rng.sample(sorted(optional), rng.randint(0, 6))
    return {"_": "room", "id": room_id, "title": _sentence(rng, 1, 3).title(),
            "photo": {"_": "roomPhotoNone"}, "date": 1_690_000_000 + rng.randint(0, 10**6),
            **{k: optional[k] for k in keys}}


def _in_order(value, order):
    """value's nested dicts rebuilt with their keys in schema order ("schema"),
    in a random order ("random", from a seed of the content), or with every
    parameter, absent ones None or False, in schema order ("unpacked")."""
    if isinstance(value, list):
        return [_in_order(v, order) for v in value]
    if not isinstance(value, dict):
        return value
    params = [(n, t) for n, t in _params_of(value["_"]) if n not in ("flags", "flags2")]
    if order == "unpacked":
        out = {"_": value["_"]}
        for name, type_text in params:
            absent = False if type_text.endswith("?true") else None
            out[name] = _in_order(value.get(name, absent), order)
        return out
    keys = ["_"] + [n for n, _ in params if n in value]
    if order == "random":
        rng = random.Random(repr(sorted(value.items(), key=repr)))
        rng.shuffle(keys)
    return {k: _in_order(value[k], order) for k in keys}


def as_unpacked(value):
    """The form of value that unpack gives back."""
    return _in_order(value, "unpacked")


def directory(n_members, n_rooms, seed, order):
    """A directory search result: wide members and rooms with few values."""
    rng = random.Random(seed)
    members = [_present_member(rng, 10_000 + 31 * i) for i in range(n_members)]
    rooms = [_present_room(rng, 900_000 + 17 * i) for i in range(n_rooms)]
    value = {"_": "directory.found",
             "my_results": [{"_": "peerMember", "member_id": m["id"]} for m in members[:2]],
             "results": [{"_": "peerRoom", "room_id": r["id"]} for r in rooms[:3]],
             "rooms": rooms, "members": members}
    return _in_order(value, order)


def _spans(rng, text, count):
    spans = []
    for _ in range(count):
        offset = rng.randint(0, max(0, len(text) - 4))
        length = rng.randint(1, len(text) - offset)
        kind = rng.choice(("spanBold", "spanItalic", "spanUrl", "spanCode"))
        spans.append({"_": kind, "offset": offset, "length": length})
    return spans


def app_member(rng, member_id):
    """A member as a program fills one in: what it has, then the extras."""
    given = rng.choice(_GIVEN)
    member = {"_": "member", "id": member_id, "access_key": rng.getrandbits(63),
              "given_name": given}
    if rng.random() < 0.6:
        member["family_name"] = rng.choice(_GIVEN) + "sen"
    if rng.random() < 0.5:
        member["handle"] = given.lower() + str(rng.randint(1, 999))
    member["presence"] = {"_": "presenceAway", "since": 1_700_000_000 + rng.randint(0, 10**6)}
    if rng.random() < 0.7:
        member["avatar"] = {"_": "avatar", "avatar_id": rng.getrandbits(63), "dc": rng.randint(1, 5),
                            "preview": rng.randbytes(rng.randint(8, 24))}
    if rng.random() < 0.5:
        member["in_contacts"] = True
    return member


def app_room(rng, room_id):
    room = {"_": "room", "id": room_id, "title": _sentence(rng, 1, 3).title(),
            "date": 1_690_000_000 + rng.randint(0, 10**6), "photo": {"_": "roomPhotoNone"}}
    room["access_key"] = rng.getrandbits(63)
    if rng.random() < 0.5:
        room["member_count"] = rng.randint(3, 50_000)
    if rng.random() < 0.3:
        room["megaroom"] = True
    return room


def app_post(rng, post_id, from_id, room_id, spans):
    text = _sentence(rng, 4, 18)
    post = {"_": "post", "id": post_id, "peer_id": {"_": "peerRoom", "room_id": room_id},
            "date": 1_700_000_000 + post_id * 13, "text": text}
    post["from_id"] = {"_": "peerMember", "member_id": from_id}
    if spans:
        post["spans"] = _spans(rng, text, spans)
    if post_id % 5 == 0:
        post["reply_to"] = {"_": "replyHeader", "reply_to_id": post_id - 1}
    if rng.random() < 0.3:
        post["out"] = True
    if post_id % 7 == 0:
        post["edit_date"] = 1_700_100_000 + post_id
    return post


def history(n_posts, n_members, n_rooms, seed, spans=None):
    rng = random.Random(seed)
    members = [200_000 + 37 * i for i in range(n_members)]
    rooms = [700_000 + 11 * i for i in range(n_rooms)]
    posts = [app_post(rng, 5000 + i, rng.choice(members), rng.choice(rooms),
                      spans if spans is not None else rng.choice((0, 0, 1, 2)))
             for i in range(n_posts)]
    page = {"_": "history.page", "count": 10_000 + n_posts, "posts": posts,
            "rooms": [app_room(rng, r) for r in rooms],
            "members": [app_member(rng, m) for m in members]}
    if n_posts > 50:
        page["inexact"] = True
    return page


# (name, builder) of every message, small to large within each shape.
SHAPES = tuple(
    (f"wide-{order}-{size}", functools.partial(directory, members, rooms, seed, order))
    for order in ("schema", "random", "unpacked")
    for size, members, rooms, seed in (("small", 2, 1, 71), ("medium", 24, 8, 72),
                                       ("large", 560, 160, 73))
) + (
    ("history-small", functools.partial(history, 1, 1, 1, 81, spans=3)),
    ("history-medium", functools.partial(history, 24, 5, 2, 82)),
    ("history-large", functools.partial(history, 400, 80, 12, 83)),
)
