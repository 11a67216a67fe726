"""The settings file on the real platform: what a load and a save keep and change."""
import os

USER_FILE = (b'{\r\n'
             b'    "zeta_unknown": [1, 2, {"a": null}],\r\n'
             b'    "sample_rate": "44100",\r\n'
             b'    "alpha_unknown": "kept \\u00e9",\r\n'
             b'    "auto_split_mins": 3,\r\n'
             b'    "snd_volume": 80\r\n'
             b'}')


def _settings(h):
    return os.path.join(h.appdata, "recorder_config.json")


def _write(h, data):
    os.makedirs(h.appdata, exist_ok=True)
    with open(_settings(h), "wb") as f:
        f.write(data)


def test_unknown_keys_survive_load_and_save_in_order(h):
    _write(h, USER_FILE)
    r = h.run([], exe=h.tool("config_roundtrip"))
    assert r.rc == 0, r
    text = open(_settings(h), "rb").read()
    assert not text.startswith(b"\xef\xbb\xbf")
    s = text.decode("utf-8")
    # Unknown keys keep their place; the legacy minutes key became seconds in place of it.
    order = [s.index(k) for k in ('"zeta_unknown"', '"sample_rate"', '"alpha_unknown"', '"snd_volume"')]
    assert order == sorted(order), s
    assert '"auto_split_mins"' not in s and '"auto_split_secs": 180' in s, s
    assert '"sample_rate": "44100"' in s and '"kept é"' in s, s
    assert not os.path.exists(_settings(h) + ".tmp")
    # A second load and save changes nothing.
    assert h.run([], exe=h.tool("config_roundtrip")).rc == 0
    assert open(_settings(h), "rb").read() == text


def test_unreadable_settings_are_kept_aside_before_a_save(h):
    _write(h, b'{"sample_rate": "44100", oops')
    assert h.run(["snd_volume", "50"], exe=h.tool("config_roundtrip")).rc == 0
    assert open(_settings(h) + ".bad", "rb").read() == b'{"sample_rate": "44100", oops'
    assert '"snd_volume": 50' in open(_settings(h)).read()


def test_app_data_folder_that_cannot_be_made_names_the_windows_reason(h):
    # A file stands where the per-user folder belongs: loading the settings fails with the
    # platform's own reason, while logging loses its line quietly.
    os.makedirs(os.path.dirname(h.appdata), exist_ok=True)
    with open(h.appdata, "w") as f:
        f.write("not a folder")
    try:
        r = h.run([], exe=h.tool("config_roundtrip"))
        assert r.rc == 1, r
        assert r.err.startswith("IoError: ") and "already exists" in r.err, r
        assert r.err.rstrip().endswith("\\AppData\\Local\\Tapewright'"), r
        assert h.run(["named", "T", "INFO", "lost"], exe=h.tool("log_probe")).rc == 0
    finally:
        os.remove(h.appdata)
