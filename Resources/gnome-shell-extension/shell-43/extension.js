/* exported init */
// Quorvel's lock-screen overlay for GNOME Shell 43 and 44, which load extensions written with
// legacy imports. The frame host itself is host.js, an ES module shared with the variant for
// GNOME Shell 45 and later; it is loaded here with a dynamic import.
const {Gio, GLib, Clutter, Cogl, GdkPixbuf, St} = imports.gi;
const Main = imports.ui.main;
const ExtensionUtils = imports.misc.extensionUtils;

class QuorvelOverlayExtension {
    enable() {
        this._enabled = true;
        const host = ExtensionUtils.getCurrentExtension().dir.get_child('host.js').get_uri();
        import(host).then(({FrameHost}) => {
            if (!this._enabled || this._host)
                return;
            this._host = new FrameHost({Gio, GLib, Clutter, Cogl, GdkPixbuf, St, Main});
            this._host.enable();
        }).catch(e => logError(e, 'Quorvel overlay: the frame host did not load'));
    }

    disable() {
        this._enabled = false;
        this._host?.disable();
        this._host = null;
    }
}

function init() {
    return new QuorvelOverlayExtension();
}
