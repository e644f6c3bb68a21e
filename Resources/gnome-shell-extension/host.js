// Quorvel's lock-screen overlay inside GNOME Shell: one picture at the top centre of the
// primary monitor, above everything the shell draws (the lock screen and its password dialog
// included), showing the frames Quorvel sends over the session bus. Quorvel draws every frame
// itself; this host only puts its pixels on the screen, sized in logical pixels. The picture
// never takes the pointer or the keyboard (it is not reactive and never focused: clicks and
// keys go to the lock screen under it), and it goes when Quorvel says so, when the program
// that sent it leaves the bus, or when no frame has come for a while (the sender hung).
//
// An ES module without imports, shared by both variants of the extension: each variant's
// extension.js (shell-43: GNOME Shell 43 and 44, legacy imports; shell-45: GNOME Shell 45 and
// later, ES modules) hands it the shell's modules.

export const OBJECT_PATH = '/com/tessmin/Quorvel/Overlay';
export const INTERFACE_NAME = 'com.tessmin.Quorvel.Overlay1';
export const VERSION = 1;
// The largest frame taken, in pixels, and the largest placement, in logical pixels: the panel
// is 320 x 200 logical pixels, drawn at most at twice that.
export const MAX_WIDTH = 640;
export const MAX_HEIGHT = 400;
// Without a frame for this long, in seconds, the picture goes (its sender sends one at least
// every second while it shows the panel).
const STALE_SECONDS = 5;

const INVALID_ARGS = 'org.freedesktop.DBus.Error.InvalidArgs';
const FAILED = 'org.freedesktop.DBus.Error.Failed';

const INTERFACE_XML = `<node>
  <interface name="${INTERFACE_NAME}">
    <method name="Ping">
      <arg type="u" direction="out" name="version"/>
    </method>
    <!-- placement: x, y, width, height in logical pixels (the host centres the picture at the
         top of the primary monitor with that size); frame_size: the whole frame in pixels;
         crop: left, top, columns, rows of the part sent, in the frame's pixels; png: that part
         as a PNG image of columns x rows pixels (nothing when the crop is empty: a frame
         without a visible pixel). Answers where the frame is shown, in logical pixels. -->
    <method name="ShowFrame">
      <arg type="(dddd)" direction="in" name="placement"/>
      <arg type="(uu)" direction="in" name="frame_size"/>
      <arg type="(uuuu)" direction="in" name="crop"/>
      <arg type="ay" direction="in" name="png"/>
      <arg type="(dddd)" direction="out" name="shown"/>
    </method>
    <method name="Hide"/>
  </interface>
</node>`;

// Why a frame cannot be shown, or null when it can. Arguments as ShowFrame receives them.
export function frameProblem(placement, frameSize, crop, png) {
    const [, , width, height] = placement;
    const [frameWidth, frameHeight] = frameSize;
    const [left, top, columns, rows] = crop;
    if (!placement.every(Number.isFinite) || !(width > 0 && height > 0))
        return 'the placement is not a rectangle';
    if (width > MAX_WIDTH || height > MAX_HEIGHT)
        return `the placement is larger than ${MAX_WIDTH} x ${MAX_HEIGHT}`;
    if (frameWidth < 1 || frameHeight < 1 || frameWidth > MAX_WIDTH || frameHeight > MAX_HEIGHT)
        return `the frame is empty or larger than ${MAX_WIDTH} x ${MAX_HEIGHT} pixels`;
    if (left + columns > frameWidth || top + rows > frameHeight)
        return 'the crop leaves the frame';
    if (columns === 0 || rows === 0)
        return png.length === 0 ? null : 'an empty crop with an image';
    // Even stored uncompressed, the largest frame's PNG is hardly larger than its pixels.
    if (png.length > MAX_WIDTH * MAX_HEIGHT * 4 + 65536)
        return `the image is ${png.length} bytes`;
    // The image's own size, from its header, before anything decodes it.
    const signature = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a], headerChunk = [0x49, 0x48, 0x44, 0x52];
    if (png.length < 24 || signature.some((byte, i) => png[i] !== byte) ||
        headerChunk.some((byte, i) => png[12 + i] !== byte))
        return 'the image is not a PNG';
    const size = at => ((png[at] << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3]) >>> 0;
    if (size(16) !== columns || size(20) !== rows)
        return `the image is ${size(16)} x ${size(20)}, not ${columns} x ${rows}`;
    return null;
}

// Connects `handler` to the first of `signals` the object has (the shell's versions name the
// signal of an added child differently).
function connectFirst(object, signals, handler) {
    for (const signal of signals) {
        try {
            return object.connect(signal, handler);
        } catch (e) {
            // not this version's name
        }
    }
    return 0;
}

export class FrameHost {
    // `shell`: the modules Gio, GLib, Clutter, Cogl, GdkPixbuf, St and the shell's Main.
    constructor(shell) {
        this._shell = shell;
        this._actor = null;
        this._sender = null;
        this._watchId = 0;
        this._staleId = 0;
        this._lastFrame = 0;
    }

    enable() {
        const {Gio, Clutter, St, Main} = this._shell;
        this._content = St.ImageContent.new_with_preferred_size(1, 1);
        this._actor = new Clutter.Actor({
            name: 'quorvel-overlay',
            reactive: false,
            visible: false,
            content: this._content,
        });
        this._group = Main.layoutManager.uiGroup;
        this._group.add_child(this._actor);
        // Whatever the shell adds later (the lock screen's dialog, notifications) goes under.
        this._raiseId = connectFirst(this._group, ['child-added', 'actor-added'], () => this._raise());
        this._dbus = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this);
        this._dbus.export(Gio.DBus.session, OBJECT_PATH);
    }

    disable() {
        this._dbus?.unexport();
        this._dbus = null;
        this._hide();
        if (this._raiseId)
            this._group.disconnect(this._raiseId);
        this._raiseId = 0;
        this._actor?.destroy();
        this._actor = null;
        this._content = null;
    }

    Ping() {
        return VERSION;
    }

    // gjs answers an exception of a plain method (Ping, Hide) with an error, not one of an
    // asynchronous method: unanswered, the sender would wait out its time-out on every frame.
    ShowFrameAsync([placement, frameSize, crop, png], invocation) {
        try {
            this._showFrame(placement, frameSize, crop, png, invocation);
        } catch (e) {
            invocation.return_dbus_error(FAILED, `Frame not shown: ${e.message}`);
        }
    }

    _showFrame(placement, frameSize, crop, png, invocation) {
        const {GLib} = this._shell;
        let problem = frameProblem(placement, frameSize, crop, png), image = null;
        if (!problem && png.length > 0) {
            try {
                image = this._decode(png, crop[2], crop[3]);
            } catch (e) {
                problem = `the image does not decode (${e.message})`;
            }
        }
        if (problem) {
            invocation.return_dbus_error(INVALID_ARGS, `Frame not shown: ${problem}`);
            return;
        }
        const shown = this._show(placement, frameSize, crop, image);
        if (!shown) {
            invocation.return_dbus_error(FAILED, 'Frame not shown: no monitor');
            return;
        }
        this._follow(invocation.get_sender());
        invocation.return_value(new GLib.Variant('((dddd))', [shown]));
    }

    Hide() {
        this._hide();
    }

    // The PNG's pixels (only the PNG loader reads them; frameProblem checked its size).
    _decode(png, columns, rows) {
        const {GLib, GdkPixbuf} = this._shell;
        const loader = GdkPixbuf.PixbufLoader.new_with_type('png');
        try {
            loader.write_bytes(new GLib.Bytes(png));
        } finally {
            loader.close();
        }
        const image = loader.get_pixbuf();
        if (!image || image.get_width() !== columns || image.get_height() !== rows)
            throw new Error('not the size its header gave');
        return image;
    }

    _show(placement, frameSize, crop, image) {
        const {GLib, Cogl, St, Main} = this._shell;
        const monitor = Main.layoutManager.primaryMonitor;
        if (!this._actor || !monitor)
            return null;
        // Logical pixels to the stage's: the shell's own scale for what it draws.
        const scale = St.ThemeContext.get_for_stage(global.stage).scale_factor || 1;
        const width = placement[2] * scale, height = placement[3] * scale;
        const x = monitor.x + Math.round((monitor.width - width) / 2), y = monitor.y;
        const [frameWidth, frameHeight] = frameSize;
        const [left, top, columns, rows] = crop;
        if (image) {
            const format = image.get_has_alpha() ? Cogl.PixelFormat.RGBA_8888 : Cogl.PixelFormat.RGB_888;
            const args = [image.read_pixel_bytes(), format, columns, rows, image.get_rowstride()];
            // GNOME Shell 48 and later name the Cogl context first.
            if (this._content.set_bytes.length === 6)
                args.unshift(global.stage.context.get_backend().get_cogl_context());
            this._content.set_bytes(...args);
            const kx = width / frameWidth, ky = height / frameHeight;
            this._actor.set_position(x + left * kx, y + top * ky);
            this._actor.set_size(columns * kx, rows * ky);
            this._actor.show();
        } else {
            this._actor.hide();
        }
        this._raise();
        this._lastFrame = GLib.get_monotonic_time();
        if (!this._staleId) {
            this._staleId = GLib.timeout_add_seconds(GLib.PRIORITY_DEFAULT, 1, () => {
                if (GLib.get_monotonic_time() - this._lastFrame < STALE_SECONDS * 1e6)
                    return GLib.SOURCE_CONTINUE;
                this._staleId = 0;
                this._hide();
                return GLib.SOURCE_REMOVE;
            });
        }
        return [x / scale, y / scale, width / scale, height / scale];
    }

    _hide() {
        const {GLib, Gio} = this._shell;
        this._actor?.hide();
        if (this._staleId)
            GLib.source_remove(this._staleId);
        this._staleId = 0;
        if (this._watchId)
            Gio.bus_unwatch_name(this._watchId);
        this._watchId = 0;
        this._sender = null;
    }

    // The picture belongs to the program that sent the last frame: it goes when that one
    // leaves the bus.
    _follow(sender) {
        const {Gio} = this._shell;
        if (!sender || sender === this._sender)
            return;
        if (this._watchId)
            Gio.bus_unwatch_name(this._watchId);
        this._sender = sender;
        this._watchId = Gio.bus_watch_name(Gio.BusType.SESSION, sender, Gio.BusNameWatcherFlags.NONE, null,
            () => {
                if (this._sender === sender)
                    this._hide();
            });
    }

    _raise() {
        if (this._actor && this._group.get_last_child() !== this._actor)
            this._group.set_child_above_sibling(this._actor, null);
    }
}
