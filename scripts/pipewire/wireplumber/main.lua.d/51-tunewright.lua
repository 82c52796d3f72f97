-- The test server has no hardware and no session bus: without these switched off wireplumber
-- looks for both and exits.
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
-- PulseAudio's test server remembers nothing between streams; neither should this one, or one
-- test's volume or target would follow the next test's stream.
stream_defaults.enabled = false
