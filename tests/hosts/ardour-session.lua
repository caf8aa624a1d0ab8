-- Builds a session with one MIDI track: the phrase generator, then Plinka.
-- Run by ardour7-lua with SESSION_DIR set in the environment, and
-- PLINKA_FORMAT "vst3" for the VST3 build, "lv2" for the LV2 one (found by
-- its URI), the VST 2 one otherwise.
ARDOUR.config ():set_hide_dummy_backend (false)
assert (AudioEngine:set_backend ("None (Dummy)", "", ""))
local folder = os.getenv ("SESSION_DIR")
local session = assert (create_session (folder, "plinka", 44100))
local formats = { vst3 = ARDOUR.PluginType.VST3, lv2 = ARDOUR.PluginType.LV2 }
local format = formats[os.getenv ("PLINKA_FORMAT")] or ARDOUR.PluginType.LXVST
local id = os.getenv ("PLINKA_FORMAT") == "lv2" and "https://plinka.invalid/plinka" or "Plinka"
local plinka = ARDOUR.LuaAPI.new_plugin_info (id, format)
assert (not plinka:isnil (), "Plinka was not scanned")
local tracks = session:new_midi_track (ARDOUR.ChanCount (ARDOUR.DataType ("midi"), 1),
    ARDOUR.ChanCount (ARDOUR.DataType ("audio"), 2), true, plinka, nil, nil, 1, "Plinka",
    ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true, false)
assert (tracks:size () == 1)
local generator = ARDOUR.LuaAPI.new_luaproc (session, "Plinka Phrase")
assert (not generator:isnil (), "the phrase script was not found")
assert (tracks:front ():add_processor_by_index (generator, 0, nil, true) == 0)
-- Ardour connects a new track's outputs to the master bus from a thread of
-- its own, which now and then has not run when the session is saved: a
-- session so saved exports silence. The outputs are connected here.
local outputs = tracks:front ():output ()
local master = session:master_out ():input ()
for i = 0, 1 do
    local port = outputs:nth (i)
    local other = master:nth (i):name ()
    if not port:connected_to (other) then
        assert (port:connect (other) == 0, "cannot connect the track to the master bus")
    end
end
session:save_state ("", false, false, false, false, false)
close_session ()
print ("session ready")
