-- Which of Plinka's formats Ardour's plug-in manager has found, one line
-- each: the format, then "found" and where, or "missing". Run by
-- ardour7-lua with SESSION_DIR set; the plug-in paths come from the
-- environment (LXVST_PATH, VST3_PATH, LV2_PATH).
io.stdout:setvbuf ("no")
ARDOUR.config ():set_hide_dummy_backend (false)
assert (AudioEngine:set_backend ("None (Dummy)", "", ""))
-- The plug-in manager answers only once a session is loaded.
assert (create_session (os.getenv ("SESSION_DIR"), "find", 44100))
for _, format in ipairs ({"LXVST", "VST3", "LV2"}) do
    local info = ARDOUR.LuaAPI.new_plugin_info ("Plinka", ARDOUR.PluginType[format])
    if info:isnil () then
        print (format .. " missing")
    elseif format == "LV2" then
        print (format .. " found " .. info.unique_id)
    else
        print (format .. " found " .. info.path)
    end
end
close_session ()
