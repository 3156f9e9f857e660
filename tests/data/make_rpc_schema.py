"""Writes rpc_schema.json: the messaging-style schema the sorb tests and
benchmarks run on.

The schema is a hand-written core (peers, users, groups, messages, media,
auth, files, updates) plus systematic families (text spans, service actions,
update kinds, privacy keys, search filters, settings getters and setters).
Each entry is written as one line "name param:type ... = Result"; its id is
the CRC32 of that line, stored as a signed 32-bit number the way schema
files usually carry ids. Run it from anywhere:

    python tests/data/make_rpc_schema.py
"""
import json
import os
import zlib

VECTOR_ID = 0x1CB5C415

CORE = """
# peers
peerUser user_id:long = Peer
peerGroup group_id:long = Peer
peerFeed feed_id:long = Peer
inputPeerNone = InputPeer
inputPeerMe = InputPeer
inputPeerUser user_id:long access_key:long = InputPeer
inputPeerGroup group_id:long = InputPeer
inputPeerFeed feed_id:long access_key:long = InputPeer
inputUserNone = InputUser
inputUserMe = InputUser
inputUser user_id:long access_key:long = InputUser
inputFeed feed_id:long access_key:long = InputFeed

# errors
error code:int message:string = Error
errorDetailed flags:# code:int message:string retry_after:flags.0?int field:flags.1?string hints:flags.2?Vector<string> = Error

# users
avatarNone = Avatar
avatar flags:# animated:flags.0?true avatar_id:long preview:flags.1?bytes dc:int = Avatar
presenceUnknown = Presence
presenceOnline until:int = Presence
presenceAway since:int = Presence
presenceHidden flags:# approximate:flags.0?true = Presence
handle flags:# active:flags.0?true primary:flags.1?true name:string = Handle
accent flags:# palette:flags.0?int pattern_id:flags.1?long = Accent
badgeNone = Badge
badge flags:# emoji_id:long expires:flags.0?int = Badge
limitNotice platforms:Vector<string> reason:string text:string = LimitNotice
userDeleted id:long = User
user flags:# me:flags.0?true contact:flags.1?true mutual:flags.2?true bot:flags.3?true official:flags.4?true deleted:flags.5?true limited:flags.15?true premium:flags.27?true flags2:# close_friend:flags2.0?true hides_stories:flags2.4?true id:long access_key:flags.6?long first_name:flags.7?string last_name:flags.8?string username:flags.9?string phone:flags.10?string avatar:flags.11?Avatar presence:flags.12?Presence bot_version:flags.13?int locale:flags.14?string limit_notices:flags.15?Vector<LimitNotice> badge:flags.31?Badge handles:flags2.1?Vector<Handle> accent:flags2.2?Accent profile_accent:flags2.3?Accent story_max_id:flags2.5?int monthly_users:flags2.9?int = User
userFull flags:# blocked:flags.0?true calls_allowed:flags.1?true video_calls_allowed:flags.2?true id:long about:flags.3?string settings:PeerSettings avatar:flags.4?Photo notify_settings:NotifySettings bot_info:flags.5?BotInfo pinned_msg_id:flags.6?int common_groups:int ttl_period:flags.7?int birthday:flags.8?Birthday = UserFull
birthday flags:# day:int month:int year:flags.0?int = Birthday
botCommand command:string description:string = BotCommand
botInfo flags:# user_id:flags.0?long description:flags.1?string description_photo:flags.4?Photo commands:flags.2?Vector<BotCommand> menu_url:flags.3?string = BotInfo
peerSettings flags:# report_spam:flags.0?true add_contact:flags.1?true block_contact:flags.2?true share_contact:flags.3?true geo_distance:flags.6?int = PeerSettings
notifySettings flags:# flags2:# show_previews:flags.0?Bool silent:flags.1?Bool mute_until:flags.2?int sound:flags.3?Sound stories_muted:flags2.0?Bool stories_sound:flags2.1?Sound = NotifySettings
soundDefault = Sound
soundNone = Sound
soundLocal title:string data:string = Sound
soundCloud id:long = Sound
contact user_id:long mutual:Bool = Contact
inputContact client_id:long phone:string first_name:string last_name:string = InputContact

# groups and feeds
groupPhotoNone = GroupPhoto
groupPhoto flags:# animated:flags.0?true photo_id:long preview:flags.1?bytes dc:int = GroupPhoto
rights flags:# view:flags.0?true send:flags.1?true send_media:flags.2?true send_stickers:flags.3?true send_links:flags.4?true send_polls:flags.5?true change_info:flags.6?true invite:flags.7?true pin:flags.8?true manage_topics:flags.9?true send_voice:flags.20?true send_video:flags.21?true send_plain:flags.31?true until:int = Rights
adminRights flags:# edit_info:flags.0?true post:flags.1?true edit:flags.2?true remove:flags.3?true ban:flags.4?true invite:flags.5?true pin:flags.6?true promote:flags.7?true anonymous:flags.8?true calls:flags.9?true other:flags.10?true = AdminRights
groupGone id:long = Group
group flags:# creator:flags.0?true left:flags.1?true deactivated:flags.2?true protected:flags.3?true id:long title:string photo:GroupPhoto member_count:int date:int version:int moved_to:flags.4?InputFeed admin_rights:flags.5?AdminRights default_rights:flags.6?Rights = Group
feed flags:# creator:flags.0?true left:flags.1?true broadcast:flags.2?true verified:flags.3?true supergroup:flags.4?true limited:flags.5?true signatures:flags.6?true slow_mode:flags.7?true forum:flags.8?true flags2:# hides_stories:flags2.0?true id:long access_key:flags.9?long title:string username:flags.10?string photo:GroupPhoto date:int limit_notices:flags.5?Vector<LimitNotice> admin_rights:flags.11?AdminRights banned_rights:flags.12?Rights default_rights:flags.13?Rights member_count:flags.14?int handles:flags2.1?Vector<Handle> story_max_id:flags2.2?int accent:flags2.3?Accent level:flags2.4?int = Group
feedBanned flags:# broadcast:flags.0?true supergroup:flags.1?true id:long access_key:long title:string until:flags.2?int = Group
groupMember user_id:long inviter_id:long date:int = GroupMember
groupMemberAdmin flags:# can_edit:flags.0?true user_id:long promoted_by:long date:int rights:AdminRights rank:flags.1?string = GroupMember
groupMembers group_id:long members:Vector<GroupMember> version:int = GroupMembers

# files and media
inputFile id:long parts:int name:string checksum:string = InputFile
inputFileBig id:long parts:int name:string = InputFile
inputFileLocation volume_id:long local_id:int secret:long file_reference:bytes = InputFileLocation
inputPhotoFileLocation id:long access_key:long file_reference:bytes thumb_size:string = InputFileLocation
inputFileFileLocation id:long access_key:long file_reference:bytes thumb_size:string = InputFileLocation
inputAvatarFileLocation flags:# big:flags.0?true peer:InputPeer photo_id:long = InputFileLocation
photoSizeNone kind:string = PhotoSize
photoSize kind:string w:int h:int size:int = PhotoSize
photoSizeCached kind:string w:int h:int data:bytes = PhotoSize
photoSizePreview kind:string data:bytes = PhotoSize
photoSizeProgressive kind:string w:int h:int sizes:Vector<int> = PhotoSize
photoSizeOutline kind:string data:bytes = PhotoSize
videoSize flags:# kind:string w:int h:int size:int start_ts:flags.0?double = VideoSize
photoNone id:long = Photo
photo flags:# has_stickers:flags.0?true id:long access_key:long file_reference:bytes date:int sizes:Vector<PhotoSize> video_sizes:flags.1?Vector<VideoSize> dc:int = Photo
stickerSetNone = InputStickerSet
stickerSetById id:long access_key:long = InputStickerSet
stickerSetByName short_name:string = InputStickerSet
stickerSetDice emoji:string = InputStickerSet
fileAttrImageSize w:int h:int = FileAttr
fileAttrAnimated = FileAttr
fileAttrVideo flags:# round:flags.0?true streamable:flags.1?true muted:flags.3?true duration:double w:int h:int preload_bytes:flags.2?int codec:flags.4?string = FileAttr
fileAttrAudio flags:# voice:flags.10?true duration:int title:flags.0?string performer:flags.1?string waveform:flags.2?bytes = FileAttr
fileAttrName file_name:string = FileAttr
fileAttrSticker flags:# mask:flags.1?true alt:string set:InputStickerSet mask_coords:flags.0?MaskCoords = FileAttr
fileAttrCustomEmoji flags:# free:flags.0?true tinted:flags.1?true alt:string set:InputStickerSet = FileAttr
fileAttrHasStickers = FileAttr
maskCoords n:int x:double y:double zoom:double = MaskCoords
fileNone id:long = File
file flags:# id:long access_key:long file_reference:bytes date:int mime_type:string size:long thumbs:flags.0?Vector<PhotoSize> video_thumbs:flags.1?Vector<VideoSize> dc:int attributes:Vector<FileAttr> = File
geoNone = Geo
geo flags:# lon:double lat:double access_key:long radius:flags.0?int = Geo
inputGeoNone = InputGeo
inputGeo flags:# lat:double lon:double radius:flags.0?int = InputGeo
pollOption text:TextWithSpans option:bytes = PollOption
poll id:long flags:# closed:flags.0?true public_voters:flags.1?true multiple:flags.2?true quiz:flags.3?true question:TextWithSpans options:Vector<PollOption> close_period:flags.4?int close_date:flags.5?int = Poll
pollVoters flags:# chosen:flags.0?true correct:flags.1?true option:bytes voters:int = PollVoters
pollResults flags:# min:flags.0?true results:flags.1?Vector<PollVoters> total_voters:flags.2?int recent_voters:flags.3?Vector<Peer> solution:flags.4?string solution_spans:flags.4?Vector<TextSpan> = PollResults
textWithSpans text:string spans:Vector<TextSpan> = TextWithSpans
mediaNone = Media
mediaPhoto flags:# spoiler:flags.3?true photo:flags.0?Photo ttl_seconds:flags.2?int = Media
mediaGeo geo:Geo = Media
mediaContact phone:string first_name:string last_name:string vcard:string user_id:long = Media
mediaUnsupported = Media
mediaFile flags:# no_premium:flags.3?true spoiler:flags.4?true video:flags.6?true round:flags.7?true voice:flags.8?true file:flags.0?File alt_files:flags.5?Vector<File> ttl_seconds:flags.2?int = Media
mediaLinkPreview flags:# large_media:flags.0?true small_media:flags.1?true preview:LinkPreview = Media
mediaVenue geo:Geo title:string address:string provider:string venue_id:string venue_type:string = Media
mediaPoll poll:Poll results:PollResults = Media
mediaDice value:int emoji:string = Media
mediaLiveGeo flags:# geo:Geo heading:flags.0?int period:int alert_radius:flags.1?int = Media
mediaStory flags:# via_mention:flags.1?true peer:Peer id:int story:flags.0?Story = Media
linkPreviewNone flags:# id:long url:flags.0?string = LinkPreview
linkPreviewPending flags:# id:long url:flags.0?string date:int = LinkPreview
linkPreview flags:# large_media:flags.13?true id:long url:string display_url:string hash:int kind:flags.0?string site_name:flags.1?string title:flags.2?string description:flags.3?string photo:flags.4?Photo embed_url:flags.5?string embed_kind:flags.5?string embed_width:flags.6?int embed_height:flags.6?int duration:flags.7?int author:flags.8?string file:flags.9?File = LinkPreview
storyDeleted id:int = Story
story flags:# pinned:flags.5?true public:flags.7?true close_friends:flags.8?true edited:flags.11?true id:int date:int expire_date:int caption:flags.0?string spans:flags.1?Vector<TextSpan> media:Media privacy:flags.2?Vector<PrivacyRule> views:flags.3?StoryViews = Story
storyViews flags:# has_viewers:flags.1?true views_count:int forwards_count:flags.2?int reactions_count:flags.4?int recent_viewers:flags.0?Vector<long> = StoryViews

# messages
fwdHeader flags:# imported:flags.7?true from_id:flags.0?Peer from_name:flags.5?string date:int feed_post:flags.2?int post_author:flags.3?string saved_from_peer:flags.4?Peer saved_from_msg_id:flags.4?int psa_type:flags.6?string = FwdHeader
replyToMessage flags:# mentioned:flags.0?true forum_topic:flags.3?true quote:flags.9?true reply_to_msg_id:flags.4?int reply_to_peer_id:flags.1?Peer reply_header:flags.5?FwdHeader reply_media:flags.8?Media reply_to_top_id:flags.2?int quote_text:flags.6?string quote_spans:flags.7?Vector<TextSpan> quote_offset:flags.10?int = ReplyTo
replyToStory peer:Peer story_id:int = ReplyTo
inputReplyToMessage flags:# reply_to_msg_id:int top_msg_id:flags.0?int reply_to_peer_id:flags.1?InputPeer quote_text:flags.2?string quote_spans:flags.3?Vector<TextSpan> quote_offset:flags.4?int = InputReplyTo
inputReplyToStory peer:InputPeer story_id:int = InputReplyTo
msgReplies flags:# comments:flags.0?true replies:int replies_pts:int recent_repliers:flags.1?Vector<Peer> feed_id:flags.0?long max_id:flags.2?int read_max_id:flags.3?int = MsgReplies
reactionEmpty = Reaction
reactionEmoji emoji:string = Reaction
reactionCustom document_id:long = Reaction
reactionPaid = Reaction
reactionCount flags:# chosen_order:flags.0?int reaction:Reaction count:int = ReactionCount
peerReaction flags:# big:flags.0?true unread:flags.1?true my:flags.2?true peer_id:Peer date:int reaction:Reaction = PeerReaction
msgReactions flags:# min:flags.0?true can_see_list:flags.2?true results:Vector<ReactionCount> recent_reactions:flags.1?Vector<PeerReaction> = MsgReactions
messageGap flags:# id:int peer_id:flags.0?Peer = Message
message flags:# out:flags.1?true mentioned:flags.4?true media_unread:flags.5?true silent:flags.13?true post:flags.14?true from_scheduled:flags.18?true edit_hidden:flags.21?true pinned:flags.24?true protected:flags.26?true invert_media:flags.27?true flags2:# offline:flags2.1?true id:int from_id:flags.8?Peer boosts:flags.29?int peer_id:Peer saved_peer_id:flags.28?Peer fwd_from:flags.2?FwdHeader via_bot_id:flags.11?long reply_to:flags.3?ReplyTo date:int text:string media:flags.9?Media markup:flags.6?Markup spans:flags.7?Vector<TextSpan> views:flags.10?int forwards:flags.10?int replies:flags.23?MsgReplies edit_date:flags.15?int post_author:flags.16?string grouped_id:flags.17?long reactions:flags.20?MsgReactions limit_notices:flags.22?Vector<LimitNotice> ttl_period:flags.25?int shortcut_id:flags.30?int effect:flags2.2?long score:flags2.3?double = Message
messageService flags:# out:flags.1?true mentioned:flags.4?true media_unread:flags.5?true silent:flags.13?true post:flags.14?true legacy:flags.19?true id:int from_id:flags.8?Peer peer_id:Peer reply_to:flags.3?ReplyTo date:int action:ServiceAction ttl_period:flags.25?int = Message
draftEmpty flags:# date:flags.0?int = Draft
draft flags:# no_preview:flags.1?true invert_media:flags.6?true reply_to:flags.4?InputReplyTo text:string spans:flags.3?Vector<TextSpan> media:flags.5?InputMedia date:int effect:flags.7?long = Draft
dialog flags:# pinned:flags.2?true unread_mark:flags.3?true peer:Peer top_message:int read_inbox_max_id:int read_outbox_max_id:int unread_count:int unread_mentions_count:int unread_reactions_count:int notify_settings:NotifySettings pts:flags.0?int draft:flags.1?Draft folder_id:flags.4?int ttl_period:flags.5?int = Dialog
dialogFolder flags:# pinned:flags.2?true folder:Folder peer:Peer top_message:int unmuted_peers_count:int unread_muted_peers_count:int unread_muted_messages_count:int = Dialog
folder flags:# autofill_new_broadcasts:flags.0?true autofill_public_groups:flags.1?true id:int title:string photo:flags.3?GroupPhoto = Folder

# keyboards
markupHide flags:# selective:flags.2?true = Markup
markupForceReply flags:# single_use:flags.1?true selective:flags.2?true placeholder:flags.3?string = Markup
markupKeyboard flags:# resize:flags.0?true single_use:flags.1?true selective:flags.2?true persistent:flags.4?true rows:Vector<KeyRow> placeholder:flags.3?string = Markup
markupInline rows:Vector<KeyRow> = Markup
keyRow buttons:Vector<KeyButton> = KeyRow

# rich text (nests without bound, as rich documents do)
textEmpty = RichText
textPlain text:string = RichText
textBold text:RichText = RichText
textItalic text:RichText = RichText
textUnderline text:RichText = RichText
textStrike text:RichText = RichText
textFixed text:RichText = RichText
textUrl text:RichText url:string page_id:long = RichText
textEmail text:RichText email:string = RichText
textConcat texts:Vector<RichText> = RichText
textSubscript text:RichText = RichText
textSuperscript text:RichText = RichText
textMarked text:RichText = RichText
textPhone text:RichText phone:string = RichText
textImage document_id:long w:int h:int = RichText
textAnchor text:RichText name:string = RichText

# loosely typed values, for client configuration
jsonNull = JSONValue
jsonBool value:Bool = JSONValue
jsonNumber value:double = JSONValue
jsonString value:string = JSONValue
jsonArray value:Vector<JSONValue> = JSONValue
jsonObject value:Vector<JSONObjectValue> = JSONValue
jsonObjectValue key:string value:JSONValue = JSONObjectValue

# auth
codeSettings flags:# allow_flashcall:flags.0?true current_number:flags.1?true allow_app_hash:flags.4?true allow_missed_call:flags.5?true logout_tokens:flags.6?Vector<bytes> token:flags.8?string app_sandbox:flags.8?Bool = CodeSettings
auth.sentCode flags:# kind:auth.SentCodeKind code_hash:string next_kind:flags.1?auth.CodeKind timeout:flags.2?int = auth.SentCode
auth.sentCodeSuccess authorization:auth.Authorization = auth.SentCode
auth.authorization flags:# setup_password_required:flags.1?true otherwise_relogin_days:flags.1?int tmp_sessions:flags.0?int future_auth_token:flags.2?bytes user:User = auth.Authorization
auth.signUpRequired flags:# terms:flags.0?TermsOfService = auth.Authorization
auth.exportedAuthorization id:long payload:bytes = auth.ExportedAuthorization
auth.loginToken expires:int token:bytes = auth.LoginToken
auth.loginTokenMigrateTo dc:int token:bytes = auth.LoginToken
auth.loginTokenSuccess authorization:auth.Authorization = auth.LoginToken
auth.passwordRecovery email_pattern:string = auth.PasswordRecovery
termsOfService flags:# popup:flags.0?true id:DataJSON text:string spans:Vector<TextSpan> min_age_confirm:flags.1?int = TermsOfService
dataJSON data:string = DataJSON
authorization flags:# current:flags.0?true official_app:flags.1?true password_pending:flags.2?true hash:long device_model:string platform:string system_version:string api_id:int app_name:string app_version:string date_created:int date_active:int ip:string country:string region:string = Authorization
account.authorizations authorization_ttl_days:int authorizations:Vector<Authorization> = account.Authorizations
account.password flags:# has_recovery:flags.0?true has_secure_values:flags.1?true has_password:flags.2?true current_algo:flags.2?PasswordKdfAlgo srp_B:flags.2?bytes srp_id:flags.2?long hint:flags.3?string email_unconfirmed_pattern:flags.4?string new_algo:PasswordKdfAlgo new_secure_algo:SecurePasswordKdfAlgo secure_random:bytes pending_reset_date:flags.5?int login_email_pattern:flags.6?string = account.Password
passwordKdfAlgoUnknown = PasswordKdfAlgo
passwordKdfAlgoModPow salt1:bytes salt2:bytes g:int p:bytes = PasswordKdfAlgo
securePasswordKdfAlgoUnknown = SecurePasswordKdfAlgo
securePasswordKdfAlgoPBKDF2 salt:bytes = SecurePasswordKdfAlgo
securePasswordKdfAlgoSHA512 salt:bytes = SecurePasswordKdfAlgo
inputCheckPasswordEmpty = InputCheckPassword
inputCheckPasswordSRP srp_id:long A:bytes M1:bytes = InputCheckPassword

# transport and configuration
dcOption flags:# ipv6:flags.0?true media_only:flags.1?true tcpo_only:flags.2?true cdn:flags.3?true static:flags.4?true this_port_only:flags.5?true id:int ip_address:string port:int secret:flags.10?bytes = DcOption
config flags:# default_p2p_contacts:flags.3?true preload_featured_stickers:flags.4?true revoke_pm_inbox:flags.6?true blocked_mode:flags.8?true force_try_ipv6:flags.14?true date:int expires:int test_mode:Bool this_dc:int dc_options:Vector<DcOption> dc_txt_domain_name:string group_size_max:int feed_size_max:int online_update_period_ms:int offline_blur_timeout_ms:int online_cloud_timeout_ms:int notify_cloud_delay_ms:int edit_time_limit:int rating_e_decay:int stickers_recent_limit:int tmp_sessions:flags.0?int call_receive_timeout_ms:int call_ring_timeout_ms:int me_url_prefix:string autoupdate_url_prefix:flags.7?string gif_search_username:flags.9?string caption_length_max:int message_length_max:int webfile_dc:int suggested_lang_code:flags.2?string lang_pack_version:flags.2?int base_lang_pack_version:flags.2?int reactions_default:flags.15?Reaction = Config
nearestDc country:string this_dc:int nearest_dc:int = NearestDc
inputClientProxy address:string port:int = InputClientProxy
cdnPublicKey dc:int public_key:string = CdnPublicKey
cdnConfig public_keys:Vector<CdnPublicKey> = CdnConfig
fileHash offset:long limit:int hash:bytes = FileHash

# upload and download
upload.file kind:storage.FileKind mtime:int data:bytes = upload.File
upload.fileCdnRedirect dc:int file_token:bytes encryption_key:bytes encryption_iv:bytes file_hashes:Vector<FileHash> = upload.File
upload.cdnFile data:bytes = upload.CdnFile
upload.cdnFileReuploadNeeded request_token:bytes = upload.CdnFile

# message lists and search
messages.messages messages:Vector<Message> groups:Vector<Group> users:Vector<User> = messages.Messages
messages.messagesSlice flags:# inexact:flags.1?true count:int next_rate:flags.0?int offset_id_offset:flags.2?int messages:Vector<Message> groups:Vector<Group> users:Vector<User> = messages.Messages
messages.feedMessages flags:# inexact:flags.1?true pts:int count:int offset_id_offset:flags.2?int messages:Vector<Message> topics:Vector<ForumTopic> groups:Vector<Group> users:Vector<User> = messages.Messages
messages.messagesNotModified count:int = messages.Messages
messages.dialogs dialogs:Vector<Dialog> messages:Vector<Message> groups:Vector<Group> users:Vector<User> = messages.Dialogs
messages.dialogsSlice count:int dialogs:Vector<Dialog> messages:Vector<Message> groups:Vector<Group> users:Vector<User> = messages.Dialogs
messages.dialogsNotModified count:int = messages.Dialogs
messages.affectedHistory pts:int pts_count:int offset:int = messages.AffectedHistory
messages.affectedMessages pts:int pts_count:int = messages.AffectedMessages
messages.groupFull full_group:GroupFull groups:Vector<Group> users:Vector<User> = messages.GroupFull
groupFull flags:# can_set_username:flags.7?true has_scheduled:flags.8?true id:long about:string participants:GroupMembers group_photo:flags.2?Photo notify_settings:NotifySettings pinned_msg_id:flags.6?int folder_id:flags.11?int ttl_period:flags.14?int theme_emoticon:flags.16?string requests_pending:flags.17?int recent_requesters:flags.17?Vector<long> available_reactions:flags.18?Vector<Reaction> = GroupFull
forumTopicDeleted id:int = ForumTopic
forumTopic flags:# my:flags.1?true closed:flags.2?true pinned:flags.3?true short:flags.5?true hidden:flags.6?true id:int date:int title:string icon_color:int icon_emoji_id:flags.0?long top_message:int read_inbox_max_id:int read_outbox_max_id:int unread_count:int unread_mentions_count:int from_id:Peer notify_settings:NotifySettings draft:flags.4?Draft = ForumTopic
contacts.contactsNotModified = contacts.Contacts
contacts.contacts contacts:Vector<Contact> saved_count:int users:Vector<User> = contacts.Contacts
contacts.found my_results:Vector<Peer> results:Vector<Peer> groups:Vector<Group> users:Vector<User> = contacts.Found
contacts.importedContacts imported:Vector<ImportedContact> popular_invites:Vector<PopularContact> retry_contacts:Vector<long> users:Vector<User> = contacts.ImportedContacts
importedContact user_id:long client_id:long = ImportedContact
popularContact client_id:long importers:int = PopularContact
contacts.blocked blocked:Vector<PeerBlocked> groups:Vector<Group> users:Vector<User> = contacts.Blocked
contacts.blockedSlice count:int blocked:Vector<PeerBlocked> groups:Vector<Group> users:Vector<User> = contacts.Blocked
peerBlocked peer_id:Peer date:int = PeerBlocked
users.userFull full_user:UserFull groups:Vector<Group> users:Vector<User> = users.UserFull

# update state
updates.state pts:int qts:int date:int seq:int unread_count:int = updates.State
updates.differenceEmpty date:int seq:int = updates.Difference
updates.difference new_messages:Vector<Message> new_encrypted_messages:Vector<EncryptedMessage> other_updates:Vector<Update> groups:Vector<Group> users:Vector<User> state:updates.State = updates.Difference
updates.differenceSlice new_messages:Vector<Message> new_encrypted_messages:Vector<EncryptedMessage> other_updates:Vector<Update> groups:Vector<Group> users:Vector<User> intermediate_state:updates.State = updates.Difference
updates.differenceTooLong pts:int = updates.Difference
encryptedMessage random_id:long chat_id:int date:int payload:bytes file:EncryptedFile = EncryptedMessage
encryptedMessageService random_id:long chat_id:int date:int payload:bytes = EncryptedMessage
encryptedFileNone = EncryptedFile
encryptedFile id:long access_key:long size:long dc:int key_fingerprint:int = EncryptedFile
updatesTooLong = Updates
updateShortMessage flags:# out:flags.1?true mentioned:flags.4?true silent:flags.13?true id:int user_id:long text:string pts:int pts_count:int date:int fwd_from:flags.2?FwdHeader via_bot_id:flags.11?long reply_to:flags.3?ReplyTo spans:flags.7?Vector<TextSpan> ttl_period:flags.25?int = Updates
updateShort update:Update date:int = Updates
updatesCombined updates:Vector<Update> users:Vector<User> groups:Vector<Group> date:int seq_start:int seq:int = Updates
updates updates:Vector<Update> users:Vector<User> groups:Vector<Group> date:int seq:int = Updates
updateShortSentMessage flags:# out:flags.1?true id:int pts:int pts_count:int date:int media:flags.9?Media spans:flags.7?Vector<TextSpan> ttl_period:flags.25?int = Updates

# statistics
statsAbsValueAndPrev current:double previous:double = StatsAbsValueAndPrev
statsPercentValue part:double total:double = StatsPercentValue
statsGraphAsync token:string = StatsGraph
statsGraphError error:string = StatsGraph
statsGraph flags:# json:DataJSON zoom_token:flags.0?string = StatsGraph
statsDateRangeDays min_date:int max_date:int = StatsDateRangeDays
stats.broadcastStats period:StatsDateRangeDays followers:StatsAbsValueAndPrev views_per_post:StatsAbsValueAndPrev shares_per_post:StatsAbsValueAndPrev enabled_notifications:StatsPercentValue growth_graph:StatsGraph followers_graph:StatsGraph interactions_graph:StatsGraph languages_graph:StatsGraph recent_posts_interactions:Vector<PostInteractionCounters> = stats.BroadcastStats
postInteractionCounters msg_id:int views:int forwards:int reactions:int = PostInteractionCounters

# stickers
stickerPack emoticon:string documents:Vector<long> = StickerPack
stickerSet flags:# archived:flags.1?true official:flags.2?true masks:flags.3?true emojis:flags.7?true installed_date:flags.0?int id:long access_key:long title:string short_name:string thumbs:flags.4?Vector<PhotoSize> thumb_dc:flags.4?int thumb_version:flags.4?int thumb_document_id:flags.8?long count:int hash:int = StickerSet
messages.stickerSet set:StickerSet packs:Vector<StickerPack> keywords:Vector<StickerKeyword> documents:Vector<File> = messages.StickerSet
messages.stickerSetNotModified = messages.StickerSet
stickerKeyword document_id:long keyword:Vector<string> = StickerKeyword
"""

METHODS = """
# connection wrappers: their query is any method
invokeWithLayer layer:int query:!X = X
invokeWithoutUpdates query:!X = X
invokeAfterMsg msg_id:long query:!X = X
invokeAfterMsgs msg_ids:Vector<long> query:!X = X
initConnection flags:# api_id:int device_model:string system_version:string app_version:string system_lang_code:string lang_pack:string lang_code:string proxy:flags.0?InputClientProxy params:flags.1?JSONValue query:!X = X

# auth
auth.sendCode phone:string api_id:int api_hash:string settings:CodeSettings = auth.SentCode
auth.signUp flags:# no_joined_notifications:flags.0?true phone:string code_hash:string first_name:string last_name:string = auth.Authorization
auth.signIn flags:# phone:string code_hash:string code:flags.0?string = auth.Authorization
auth.logOut = auth.LoggedOut
auth.resetAuthorizations = Bool
auth.exportAuthorization dc:int = auth.ExportedAuthorization
auth.importAuthorization id:long payload:bytes = auth.Authorization
auth.bindTempAuthKey perm_auth_key_id:long nonce:long expires_at:int encrypted_message:bytes = Bool
auth.checkPassword password:InputCheckPassword = auth.Authorization
auth.requestPasswordRecovery = auth.PasswordRecovery
auth.exportLoginToken api_id:int api_hash:string except_ids:Vector<long> = auth.LoginToken
auth.importLoginToken token:bytes = auth.LoginToken
auth.acceptLoginToken token:bytes = Authorization
auth.resendCode flags:# phone:string code_hash:string reason:flags.0?string = auth.SentCode
auth.cancelCode phone:string code_hash:string = Bool

# account
account.registerDevice flags:# no_muted:flags.0?true token_type:int token:string app_sandbox:Bool secret:bytes other_uids:Vector<long> = Bool
account.unregisterDevice token_type:int token:string other_uids:Vector<long> = Bool
account.updateProfile flags:# first_name:flags.0?string last_name:flags.1?string about:flags.2?string = User
account.updatePresence offline:Bool = Bool
account.checkUsername username:string = Bool
account.updateUsername username:string = User
account.getPrivacy key:InputPrivacyKey = account.PrivacyRules
account.setPrivacy key:InputPrivacyKey rules:Vector<InputPrivacyRule> = account.PrivacyRules
account.deleteAccount flags:# reason:string password:flags.0?InputCheckPassword = Bool
account.getAuthorizations = account.Authorizations
account.resetAuthorization hash:long = Bool
account.getPassword = account.Password
account.setAccountTTL days:int = Bool
account.sendChangePhoneCode phone:string settings:CodeSettings = auth.SentCode
account.changePhone phone:string code_hash:string code:string = User
account.updateBadge badge:Badge = Bool
account.updateAccent flags:# for_profile:flags.1?true palette:flags.2?int pattern_id:flags.0?long = Bool
account.reorderHandles order:Vector<string> = Bool

# users and contacts
users.getUsers id:Vector<InputUser> = Vector<User>
users.getFullUser id:InputUser = users.UserFull
contacts.getContacts hash:long = contacts.Contacts
contacts.importContacts contacts:Vector<InputContact> = contacts.ImportedContacts
contacts.deleteContacts id:Vector<InputUser> = Updates
contacts.block flags:# my_stories_from:flags.0?true id:InputPeer = Bool
contacts.unblock flags:# my_stories_from:flags.0?true id:InputPeer = Bool
contacts.getBlocked flags:# my_stories_from:flags.0?true offset:int limit:int = contacts.Blocked
contacts.search q:string limit:int = contacts.Found
contacts.resolveUsername flags:# username:string referer:flags.0?string = contacts.ResolvedPeer
contacts.getTopPeers flags:# correspondents:flags.0?true bots_pm:flags.1?true bots_inline:flags.2?true phone_calls:flags.3?true groups:flags.10?true feeds:flags.15?true offset:int limit:int hash:long = contacts.TopPeers
contacts.addContact flags:# add_phone_privacy_exception:flags.0?true id:InputUser first_name:string last_name:string phone:string = Updates

# messages
messages.getMessages id:Vector<InputMessage> = messages.Messages
messages.getDialogs flags:# exclude_pinned:flags.0?true folder_id:flags.1?int offset_date:int offset_id:int offset_peer:InputPeer limit:int hash:long = messages.Dialogs
messages.getHistory peer:InputPeer offset_id:int offset_date:int add_offset:int limit:int max_id:int min_id:int hash:long = messages.Messages
messages.search flags:# peer:InputPeer q:string from_id:flags.0?InputPeer saved_peer_id:flags.2?InputPeer saved_reaction:flags.3?Vector<Reaction> top_msg_id:flags.1?int filter:SearchFilter min_date:int max_date:int offset_id:int add_offset:int limit:int max_id:int min_id:int hash:long = messages.Messages
messages.readHistory peer:InputPeer max_id:int = messages.AffectedMessages
messages.deleteHistory flags:# just_clear:flags.0?true revoke:flags.1?true peer:InputPeer max_id:int min_date:flags.2?int max_date:flags.3?int = messages.AffectedHistory
messages.deleteMessages flags:# revoke:flags.0?true id:Vector<int> = messages.AffectedMessages
messages.setTyping flags:# peer:InputPeer top_msg_id:flags.0?int action:TypingAction = Bool
messages.sendMessage flags:# no_preview:flags.1?true silent:flags.5?true background:flags.6?true clear_draft:flags.7?true noforwards:flags.14?true update_sticker_order:flags.15?true invert_media:flags.16?true peer:InputPeer reply_to:flags.0?InputReplyTo text:string random_id:long markup:flags.2?Markup spans:flags.3?Vector<TextSpan> schedule_date:flags.10?int send_as:flags.13?InputPeer shortcut:flags.17?InputQuickReplyShortcut effect:flags.18?long = Updates
messages.sendMedia flags:# silent:flags.5?true background:flags.6?true clear_draft:flags.7?true noforwards:flags.14?true invert_media:flags.16?true peer:InputPeer reply_to:flags.0?InputReplyTo media:InputMedia text:string random_id:long markup:flags.2?Markup spans:flags.3?Vector<TextSpan> schedule_date:flags.10?int send_as:flags.13?InputPeer effect:flags.18?long = Updates
messages.forwardMessages flags:# silent:flags.5?true background:flags.6?true with_my_score:flags.8?true drop_author:flags.11?true drop_media_captions:flags.12?true noforwards:flags.14?true from_peer:InputPeer id:Vector<int> random_id:Vector<long> to_peer:InputPeer top_msg_id:flags.9?int schedule_date:flags.10?int send_as:flags.13?InputPeer = Updates
messages.editMessage flags:# no_preview:flags.1?true invert_media:flags.16?true peer:InputPeer id:int text:flags.11?string media:flags.14?InputMedia markup:flags.2?Markup spans:flags.3?Vector<TextSpan> schedule_date:flags.15?int = Updates
messages.sendReaction flags:# big:flags.1?true add_to_recent:flags.2?true peer:InputPeer msg_id:int reaction:flags.0?Vector<Reaction> = Updates
messages.getMessagesViews peer:InputPeer id:Vector<int> increment:Bool = messages.MessageViews
messages.createGroup flags:# users:Vector<InputUser> title:string ttl_period:flags.0?int = messages.InvitedUsers
messages.editGroupTitle group_id:long title:string = Updates
messages.addGroupMember group_id:long user_id:InputUser fwd_limit:int = messages.InvitedUsers
messages.deleteGroupMember flags:# revoke_history:flags.0?true group_id:long user_id:InputUser = Updates
messages.getGroupFull group_id:long = messages.GroupFull
messages.saveDraft flags:# no_preview:flags.1?true invert_media:flags.6?true reply_to:flags.4?InputReplyTo peer:InputPeer text:string spans:flags.3?Vector<TextSpan> media:flags.5?InputMedia effect:flags.7?long = Bool
messages.getStickerSet stickerset:InputStickerSet hash:int = messages.StickerSet
messages.readMentions flags:# peer:InputPeer top_msg_id:flags.0?int = messages.AffectedHistory
messages.sendVote peer:InputPeer msg_id:int options:Vector<bytes> = Updates
messages.getPollResults peer:InputPeer msg_id:int = Updates
messages.togglePinned flags:# pinned:flags.0?true peer:InputPeer = Bool
messages.reorderPinned flags:# force:flags.0?true folder_id:int order:Vector<InputPeer> = Bool
messages.getWebPagePreview flags:# text:string spans:flags.3?Vector<TextSpan> = Media
messages.reportSpam peer:InputPeer = Bool

# feeds
feeds.getFeeds id:Vector<InputFeed> = messages.Groups
feeds.getFullFeed feed:InputFeed = messages.GroupFull
feeds.createFeed flags:# broadcast:flags.0?true supergroup:flags.1?true forum:flags.5?true title:string about:string geo_point:flags.2?InputGeo address:flags.2?string ttl_period:flags.4?int = Updates
feeds.editAdmin feed:InputFeed user_id:InputUser admin_rights:AdminRights rank:string = Updates
feeds.editBanned feed:InputFeed participant:InputPeer banned_rights:Rights = Updates
feeds.getMembers feed:InputFeed filter:MemberFilter offset:int limit:int hash:long = feeds.Members
feeds.joinFeed feed:InputFeed = Updates
feeds.leaveFeed feed:InputFeed = Updates
feeds.readHistory feed:InputFeed max_id:int = Bool
feeds.deleteMessages feed:InputFeed id:Vector<int> = messages.AffectedMessages
feeds.getForumTopics flags:# feed:InputFeed q:flags.0?string offset_date:int offset_id:int offset_topic:int limit:int = messages.ForumTopics
feeds.getStats flags:# dark:flags.0?true feed:InputFeed = stats.BroadcastStats

# files
upload.saveFilePart file_id:long file_part:int data:bytes = Bool
upload.saveBigFilePart file_id:long file_part:int file_total_parts:int data:bytes = Bool
upload.getFile flags:# precise:flags.0?true cdn_supported:flags.1?true location:InputFileLocation offset:long limit:int = upload.File
upload.getCdnFile file_token:bytes offset:long limit:int = upload.CdnFile
upload.reuploadCdnFile file_token:bytes request_token:bytes = Vector<FileHash>
upload.getFileHashes location:InputFileLocation offset:long = Vector<FileHash>

# updates
updates.getState = updates.State
updates.getDifference flags:# pts:int pts_limit:flags.1?int pts_total_limit:flags.0?int date:int qts:int qts_limit:flags.2?int = updates.Difference
updates.getFeedDifference flags:# force:flags.0?true feed:InputFeed filter:UpdatesFilter pts:int limit:int = updates.FeedDifference

# help
help.getConfig = Config
help.getNearestDc = NearestDc
help.getCdnConfig = CdnConfig
help.getAppConfig hash:int = help.AppConfig
help.saveAppLog events:Vector<InputAppEvent> = Bool
help.getTermsOfServiceUpdate = help.TermsOfServiceUpdate
help.acceptTermsOfService id:DataJSON = Bool
"""

# --- systematic families -----------------------------------------------------

# Text spans of a message: two ints, sometimes with one payload.
SPAN_KINDS = {
    "Unknown": "", "Mention": "", "Hashtag": "", "Command": "", "Url": "",
    "Email": "", "Bold": "", "Italic": "", "Code": "", "Strike": "",
    "Underline": "", "Spoiler": "", "Cashtag": "", "Phone": "",
    "Pre": "language:string", "TextUrl": "url:string",
    "MentionName": "user_id:long", "CustomEmoji": "document_id:long",
    "Quote": "flags:# collapsed:flags.0?true",
}

# Service messages: what happened, with its details.
SERVICE_ACTIONS = {
    "Empty": "", "GroupCreate": "title:string users:Vector<long>",
    "GroupEditTitle": "title:string", "GroupEditPhoto": "photo:Photo",
    "GroupDeletePhoto": "", "GroupAddUser": "users:Vector<long>",
    "GroupDeleteUser": "user_id:long", "GroupJoinedByLink": "inviter_id:long",
    "FeedCreate": "title:string", "GroupMigrateTo": "feed_id:long",
    "FeedMigrateFrom": "title:string group_id:long", "PinMessage": "",
    "HistoryClear": "", "GameScore": "game_id:long score:int",
    "PaymentSent": "flags:# recurring_init:flags.2?true currency:string total_amount:long invoice_slug:flags.0?string",
    "PhoneCall": "flags:# video:flags.2?true call_id:long reason:flags.0?CallDiscardReason duration:flags.1?int",
    "ScreenshotTaken": "", "CustomAction": "message:string",
    "BotAllowed": "flags:# attach_menu:flags.1?true from_request:flags.3?true domain:flags.0?string",
    "ContactSignUp": "", "GeoProximityReached": "from_id:Peer to_id:Peer distance:int",
    "GroupCall": "flags:# call:InputGroupCall duration:flags.0?int",
    "InviteToGroupCall": "call:InputGroupCall users:Vector<long>",
    "SetMessagesTTL": "flags:# period:int auto_setting_from:flags.0?long",
    "SetChatTheme": "emoticon:string", "TopicCreate": "flags:# title:string icon_color:int icon_emoji_id:flags.0?long",
    "TopicEdit": "flags:# title:flags.0?string icon_emoji_id:flags.1?long closed:flags.2?Bool hidden:flags.3?Bool",
    "SuggestAvatar": "photo:Photo", "GiftPremium": "flags:# currency:string amount:long months:int crypto_currency:flags.0?string crypto_amount:flags.0?long",
    "RequestedPeer": "button_id:int peers:Vector<Peer>", "BoostApply": "boosts:int",
}

CALL_DISCARD_REASONS = ["Missed", "Disconnect", "Hangup", "Busy"]

# Updates pushed to clients.
UPDATE_KINDS = {
    "NewMessage": "message:Message pts:int pts_count:int",
    "MessageID": "id:int random_id:long",
    "DeleteMessages": "messages:Vector<int> pts:int pts_count:int",
    "UserTyping": "user_id:long action:TypingAction",
    "GroupUserTyping": "group_id:long from_id:Peer action:TypingAction",
    "GroupMembers": "participants:GroupMembers",
    "UserPresence": "user_id:long presence:Presence",
    "UserName": "user_id:long first_name:string last_name:string handles:Vector<Handle>",
    "NewAuthorization": "flags:# unconfirmed:flags.0?true hash:long date:flags.0?int device:flags.0?string location:flags.0?string",
    "NewEncryptedMessage": "message:EncryptedMessage qts:int",
    "EncryptedTyping": "chat_id:int",
    "DcOptions": "dc_options:Vector<DcOption>",
    "NotifySettings": "peer:NotifyPeer notify_settings:NotifySettings",
    "ServiceNotification": "flags:# popup:flags.0?true invert_media:flags.2?true inbox_date:flags.1?int kind:string text:string media:Media spans:Vector<TextSpan>",
    "Privacy": "key:PrivacyKey rules:Vector<PrivacyRule>",
    "UserPhone": "user_id:long phone:string",
    "ReadHistoryInbox": "flags:# folder_id:flags.0?int top_msg_id:flags.1?int peer:Peer max_id:int still_unread_count:int pts:int pts_count:int",
    "ReadHistoryOutbox": "peer:Peer max_id:int pts:int pts_count:int",
    "LinkPreview": "preview:LinkPreview pts:int pts_count:int",
    "ReadMessagesContents": "flags:# messages:Vector<int> pts:int pts_count:int date:flags.0?int",
    "FeedTooLong": "flags:# feed_id:long pts:flags.0?int",
    "Feed": "feed_id:long",
    "NewFeedMessage": "message:Message pts:int pts_count:int",
    "ReadFeedInbox": "flags:# folder_id:flags.0?int feed_id:long max_id:int still_unread_count:int pts:int",
    "DeleteFeedMessages": "feed_id:long messages:Vector<int> pts:int pts_count:int",
    "FeedMessageViews": "feed_id:long id:int views:int",
    "GroupMemberAdmin": "group_id:long user_id:long is_admin:Bool version:int",
    "NewStickerSet": "stickerset:messages.StickerSet",
    "StickerSetsOrder": "flags:# masks:flags.0?true emojis:flags.1?true order:Vector<long>",
    "SavedGifs": "",
    "EditFeedMessage": "message:Message pts:int pts_count:int",
    "EditMessage": "message:Message pts:int pts_count:int",
    "DraftMessage": "flags:# peer:Peer top_msg_id:flags.0?int draft:Draft",
    "ReadFeaturedStickers": "",
    "RecentStickers": "",
    "Config": "",
    "PtsChanged": "",
    "DialogPinned": "flags:# pinned:flags.0?true folder_id:flags.1?int peer:DialogPeer",
    "PinnedDialogs": "flags:# folder_id:flags.1?int order:flags.0?Vector<DialogPeer>",
    "BotWebhookJSON": "data:DataJSON",
    "BotWebhookJSONQuery": "query_id:long data:DataJSON timeout:int",
    "PhoneCallSignalingData": "phone_call_id:long data:bytes",
    "MessagePoll": "flags:# poll_id:long poll:flags.0?Poll results:PollResults",
    "PeerBlocked": "flags:# blocked:flags.0?true blocked_my_stories_from:flags.1?true peer_id:Peer",
    "GroupCallConnection": "flags:# presentation:flags.0?true params:DataJSON",
    "MessageReactions": "flags:# peer:Peer msg_id:int top_msg_id:flags.0?int reactions:MsgReactions",
    "Story": "peer:Peer story:Story",
    "ReadStories": "peer:Peer max_id:int",
    "SentStoryReaction": "peer:Peer story_id:int reaction:Reaction",
    "UserEmojiStatus": "user_id:long badge:Badge",
    "Attachments": "",
    "PeerSettings": "peer:Peer settings:PeerSettings",
    "FolderPeers": "folder_peers:Vector<FolderPeer> pts:int pts_count:int",
    "TranscribedAudio": "flags:# pending:flags.0?true peer:Peer msg_id:int transcription_id:long text:string",
    "GeoLiveViewed": "peer:Peer msg_id:int",
    "LoginToken": "",
    "ScoreboardValue": "flags:# peer:Peer msg_id:int score:double prev_score:flags.0?double",
}

TYPING_ACTIONS = {
    "Typing": "", "Cancel": "", "RecordVideo": "", "UploadVideo": "progress:int",
    "RecordAudio": "", "UploadAudio": "progress:int", "UploadPhoto": "progress:int",
    "UploadFile": "progress:int", "GeoLocation": "", "ChooseContact": "",
    "GamePlay": "", "RecordRound": "", "UploadRound": "progress:int",
    "ChooseSticker": "", "EmojiInteraction": "emoticon:string msg_id:int interaction:DataJSON",
    "HistoryImport": "progress:int",
}

PRIVACY_KEYS = ["StatusTimestamp", "GroupInvite", "PhoneCall", "PhoneP2P",
                "Forwards", "ProfilePhoto", "PhoneNumber", "AddedByPhone",
                "VoiceMessages", "About", "Birthday"]

PRIVACY_RULES = {
    "AllowContacts": ("", ""), "AllowAll": ("", ""),
    "AllowUsers": ("users:Vector<InputUser>", "users:Vector<long>"),
    "DisallowContacts": ("", ""), "DisallowAll": ("", ""),
    "DisallowUsers": ("users:Vector<InputUser>", "users:Vector<long>"),
    "AllowGroupMembers": ("groups:Vector<long>", "groups:Vector<long>"),
    "DisallowGroupMembers": ("groups:Vector<long>", "groups:Vector<long>"),
    "AllowCloseFriends": ("", ""), "AllowPremium": ("", ""),
}

SEARCH_FILTERS = ["Empty", "Photos", "Video", "PhotoVideo", "Document", "Url",
                  "Gif", "Voice", "Music", "GroupPhotos", "PhoneCalls",
                  "RoundVoice", "RoundVideo", "MyMentions", "Geo", "Contacts",
                  "Pinned"]

MEMBER_FILTERS = {
    "Recent": "", "Admins": "", "Kicked": "q:string", "Bots": "",
    "Banned": "q:string", "Search": "q:string",
    "Contacts": "q:string", "Mentions": "flags:# q:flags.0?string top_msg_id:flags.1?int",
}

KEY_BUTTONS = {
    "": "text:string",
    "Url": "text:string url:string",
    "Callback": "flags:# requires_password:flags.0?true text:string data:bytes",
    "RequestPhone": "text:string",
    "RequestGeoLocation": "text:string",
    "SwitchInline": "flags:# same_peer:flags.0?true text:string query:string peer_types:flags.1?Vector<InlineQueryPeerType>",
    "Game": "text:string",
    "Buy": "text:string",
    "UrlAuth": "flags:# text:string fwd_text:flags.0?string url:string button_id:int",
    "RequestPoll": "flags:# quiz:flags.0?Bool text:string",
    "UserProfile": "text:string user_id:long",
    "WebView": "text:string url:string",
    "Copy": "text:string copy_text:string",
}

INLINE_PEER_TYPES = ["SameBotPM", "PM", "Group", "Supergroup", "Broadcast", "BotPM"]

FILE_KINDS = ["Unknown", "Partial", "Jpeg", "Gif", "Png", "Pdf", "Mp3",
              "Mov", "Mp4", "Webp"]

SENT_CODE_KINDS = {
    "App": "length:int", "Sms": "length:int", "Call": "length:int",
    "FlashCall": "pattern:string", "MissedCall": "prefix:string length:int",
    "EmailCode": "flags:# apple_signin_allowed:flags.0?true google_signin_allowed:flags.1?true email_pattern:string length:int reset_available_period:flags.3?int reset_pending_date:flags.4?int",
    "SetUpEmailRequired": "flags:# apple_signin_allowed:flags.0?true google_signin_allowed:flags.1?true",
    "FragmentSms": "url:string length:int",
}
CODE_KINDS = ["Sms", "Call", "FlashCall", "MissedCall", "FragmentSms"]

INPUT_MEDIA = {
    "Empty": "",
    "UploadedPhoto": "flags:# spoiler:flags.2?true file:InputFile stickers:flags.0?Vector<InputFile> ttl_seconds:flags.1?int",
    "Photo": "flags:# spoiler:flags.1?true id:InputPhoto ttl_seconds:flags.0?int",
    "GeoPoint": "geo_point:InputGeo",
    "Contact": "phone:string first_name:string last_name:string vcard:string",
    "UploadedFile": "flags:# nosound_video:flags.3?true force_file:flags.4?true spoiler:flags.5?true file:InputFile thumb:flags.2?InputFile mime_type:string attributes:Vector<FileAttr> stickers:flags.0?Vector<InputFile> ttl_seconds:flags.1?int",
    "File": "flags:# spoiler:flags.2?true id:InputFileRef ttl_seconds:flags.0?int query:flags.1?string",
    "Venue": "geo_point:InputGeo title:string address:string provider:string venue_id:string venue_type:string",
    "Dice": "emoticon:string",
    "Story": "peer:InputPeer id:int",
    "LinkPreview": "flags:# force_large_media:flags.0?true force_small_media:flags.1?true optional:flags.2?true url:string",
    "Poll": "flags:# poll:Poll correct_answers:flags.0?Vector<bytes> solution:flags.1?string solution_spans:flags.1?Vector<TextSpan>",
}

# Per-area settings with a getter and a setter method each.
SETTINGS_AREAS = {
    "Notify": "flags:# show_previews:flags.0?Bool silent:flags.1?Bool mute_until:flags.2?int",
    "Autodownload": "flags:# disabled:flags.0?true video_preload_large:flags.1?true photo_size_max:int video_size_max:long file_size_max:long video_upload_maxbitrate:int",
    "Content": "flags:# sensitive_enabled:flags.0?true sensitive_can_change:flags.1?true",
    "Global": "flags:# archive_and_mute_new_noncontact_peers:flags.0?true keep_archived_unmuted:flags.1?true keep_archived_folders:flags.2?true",
    "Reactions": "flags:# default_reaction:flags.0?Reaction allowed:Vector<Reaction>",
    "Wallpaper": "flags:# blur:flags.1?true motion:flags.2?true background_color:flags.0?int second_background_color:flags.4?int intensity:flags.3?int rotation:flags.4?int",
    "Theme": "flags:# message_colors_animated:flags.2?true base_theme:int accent_color:int outbox_accent_color:flags.3?int message_colors:flags.0?Vector<int>",
    "Privacy": "flags:# hide_read_marks:flags.0?true new_noncontact_peers_require_premium:flags.1?true",
    "Session": "flags:# ttl_days:int password_ttl_days:flags.0?int",
    "Media": "flags:# autoplay_gifs:flags.0?true autoplay_videos:flags.1?true stream_quality:double",
}

MISC_SINGLETONS = """
inputPhotoNone = InputPhoto
inputPhoto id:long access_key:long file_reference:bytes = InputPhoto
inputFileRefNone = InputFileRef
inputFileRef id:long access_key:long file_reference:bytes = InputFileRef
inputGroupCall id:long access_key:long = InputGroupCall
inputMessageID id:int = InputMessage
inputMessageReplyTo id:int = InputMessage
inputMessagePinned = InputMessage
inputQuickReplyShortcut shortcut:string = InputQuickReplyShortcut
inputQuickReplyShortcutId shortcut_id:int = InputQuickReplyShortcut
notifyPeer peer:Peer = NotifyPeer
notifyUsers = NotifyPeer
notifyGroups = NotifyPeer
notifyBroadcasts = NotifyPeer
dialogPeer peer:Peer = DialogPeer
dialogPeerFolder folder_id:int = DialogPeer
folderPeer peer:Peer folder_id:int = FolderPeer
inputAppEvent time:double kind:string peer:long data:JSONValue = InputAppEvent
updatesFilterAll = UpdatesFilter
updatesFilterRange min_id:int max_id:int = UpdatesFilter
"""


def family(prefix, result, kinds):
    """Lines of one family: prefix + kind for each kind, same result type."""
    if isinstance(kinds, dict):
        items = kinds.items()
    else:
        items = ((kind, "") for kind in kinds)
    return [" ".join(f"{prefix}{kind} {params} = {result}".split()) for kind, params in items]


def constructor_lines():
    lines = [line for line in (CORE + MISC_SINGLETONS).splitlines()]
    # Every span has a place in the text; a flags word, if any, comes first.
    spans = {}
    for kind, extra in SPAN_KINDS.items():
        head, tail = (extra, "") if extra.startswith("flags") else ("", extra)
        spans[kind] = f"{head} offset:int length:int {tail}".strip()
    lines += family("textSpan", "TextSpan", spans)
    lines += family("action", "ServiceAction", SERVICE_ACTIONS)
    lines += family("callDiscard", "CallDiscardReason", CALL_DISCARD_REASONS)
    lines += family("update", "Update", UPDATE_KINDS)
    lines += family("typing", "TypingAction", TYPING_ACTIONS)
    lines += family("privacyKey", "PrivacyKey", PRIVACY_KEYS)
    lines += family("inputPrivacyKey", "InputPrivacyKey", PRIVACY_KEYS)
    lines += family("privacy", "PrivacyRule", {k: v[1] for k, v in PRIVACY_RULES.items()})
    lines += family("inputPrivacy", "InputPrivacyRule", {k: v[0] for k, v in PRIVACY_RULES.items()})
    lines += ["account.privacyRules rules:Vector<PrivacyRule> groups:Vector<Group> users:Vector<User> = account.PrivacyRules"]
    lines += family("filter", "SearchFilter", SEARCH_FILTERS)
    lines += family("members", "MemberFilter", MEMBER_FILTERS)
    lines += family("keyButton", "KeyButton", KEY_BUTTONS)
    lines += family("inlinePeer", "InlineQueryPeerType", INLINE_PEER_TYPES)
    lines += family("storage.file", "storage.FileKind", FILE_KINDS)
    lines += family("auth.sentCode", "auth.SentCodeKind", SENT_CODE_KINDS)
    lines += family("auth.codeKind", "auth.CodeKind", CODE_KINDS)
    lines += family("inputMedia", "InputMedia", INPUT_MEDIA)
    for area, params in SETTINGS_AREAS.items():
        lines.append(f"settings{area} {params} = {area}Settings")
    return lines


def method_lines():
    lines = METHODS.splitlines()
    for area in SETTINGS_AREAS:
        lines.append(f"account.get{area}Settings = {area}Settings")
        lines.append(f"account.set{area}Settings settings:{area}Settings = Bool")
    return lines


def to_signed32(value):
    return value - (1 << 32) if value >= 1 << 31 else value


def parse_line(line):
    """One schema line to a JSON entry (without its kind key)."""
    left, result = (part.strip() for part in line.split("="))
    name, *params = left.split()
    signature = " ".join([name, *params, "=", result])
    entry = {
        "id": to_signed32(zlib.crc32(signature.encode())),
        "params": [dict(zip(("name", "type"), p.split(":", 1))) for p in params],
        "type": result,
    }
    return name, entry


def build():
    schema = {"constructors": [], "methods": []}
    for kind, key, lines in (("constructors", "predicate", constructor_lines()),
                             ("methods", "method", method_lines())):
        for line in lines:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            name, entry = parse_line(line)
            schema[kind].append({"id": entry["id"], key: name,
                                 "params": entry["params"], "type": entry["type"]})
    check(schema)
    return schema


def check(schema):
    """Refuses a schema with clashing ids or names, or with an object type
    that no constructor produces (the test strategies need one for each)."""
    entries = schema["constructors"] + schema["methods"]
    ids = [e["id"] & 0xFFFFFFFF for e in entries]
    assert len(set(ids)) == len(ids), "two entries share an id"
    assert VECTOR_ID not in ids
    names = [e.get("predicate") or e.get("method") for e in entries]
    assert len(set(names)) == len(names), "two entries share a name"
    produced = {e["type"] for e in schema["constructors"]}
    scalars = {"int", "long", "double", "string", "bytes", "Bool", "true", "#"}
    for e, name in zip(entries, names):
        seen = set()
        for p in e["params"]:
            assert p["name"] not in seen, f"{name}: {p['name']} twice"
            seen.add(p["name"])
            if "?" in p["type"]:
                # A condition on a word read later would always test 0.
                word = p["type"].split(".", 1)[0]
                assert word in seen, f"{name}: {p['name']} depends on {word} before it"
            t = p["type"].split("?", 1)[-1]
            while t.startswith("Vector<"):
                t = t[len("Vector<"):-1]
            if t in scalars or t.startswith("!"):
                continue
            assert t in produced, f"no constructor makes {t}"


def main():
    schema = build()
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rpc_schema.json")
    with open(path, "w", encoding="utf-8") as out:
        json.dump(schema, out, indent=1, ensure_ascii=False)
        out.write("\n")
    print(f"{path}: {len(schema['constructors'])} constructors, {len(schema['methods'])} methods")


if __name__ == "__main__":
    main()
