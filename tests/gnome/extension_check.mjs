// The GNOME Shell extension's files as the bundle ships them, checked without a GNOME Shell 45
// (this machine runs 43): both metadata files, the legacy variant's syntax, and the variant for
// GNOME Shell 45 and later (ES modules) loaded with stand-ins for the shell's modules. Enabling
// it exports the frame host's object on the shell's bus and adds a picture that takes no input;
// a frame is placed at the top centre and handed over with the Cogl context GNOME Shell 48 and
// later expect; malformed ones are refused, and one the shell fails to show is answered with an
// error; disabling takes both away.
// Usage: node extension_check.mjs <bundle>/Resources/gnome-shell-extension
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {readFileSync} from 'node:fs';
import {register} from 'node:module';
import {join} from 'node:path';
import {pathToFileURL} from 'node:url';

const folder = process.argv[2];
const metadata = variant => JSON.parse(readFileSync(join(folder, variant, 'metadata.json'), 'utf8'));
const [legacy, modern] = [metadata('shell-43'), metadata('shell-45')];
for (const variant of [legacy, modern]) {
    assert.equal(variant.uuid, 'quorvel-overlay@tessmin.com');
    assert.deepEqual(variant['session-modes'], ['user', 'unlock-dialog']);
}
assert.deepEqual(legacy['shell-version'], ['43', '44']);
assert.ok(modern['shell-version'].length > 0 && modern['shell-version'].every(version => Number(version) >= 45));
execFileSync(process.execPath, ['--check', join(folder, 'shell-43', 'extension.js')]);

// The shell's modules (gi://, resource://) are the stand-ins below.
register(`data:text/javascript,${encodeURIComponent(`
    export async function resolve(specifier, context, next) {
        if (!/^(gi|resource):/.test(specifier))
            return next(specifier, context);
        const name = specifier.startsWith('gi:') ? specifier.slice(5) : specifier.split('/').pop();
        const body = name === 'main.js' ? 'export const layoutManager = globalThis.shell.Main.layoutManager;'
            : name === 'extension.js' ? 'export const Extension = globalThis.shell.Extension;'
                : 'export default globalThis.shell.' + name + ';';
        return {url: 'data:text/javascript,' + encodeURIComponent(body), shortCircuit: true};
    }`)}`);

let exported = null;
const uiGroup = {
    children: [],
    add_child(actor) { this.children.push(actor); },
    connect(signal) { if (signal !== 'child-added') throw new Error(`no signal ${signal}`); return 7; },
    disconnect(id) { this.disconnected = id; },
    get_last_child() { return this.children.at(-1); },
    set_child_above_sibling(actor) { this.children = [...this.children.filter(a => a !== actor), actor]; },
};
const content = {set_bytes(context, bytes, format, width, height, stride) {
    if (this.failure) throw new Error(this.failure);
    this.args = [...arguments];
}};
globalThis.stage = {context: {get_backend: () => ({get_cogl_context: () => 'cogl context'})}};
globalThis.shell = {
    Gio: {
        DBus: {session: 'session bus'},
        DBusExportedObject: {
            wrapJSObject: (xml, object) => ({
                export(bus, path) { exported = {xml, object, bus, path}; },
                unexport() { exported = null; },
            }),
        },
        BusType: {SESSION: 1}, BusNameWatcherFlags: {NONE: 0}, bus_watch_name: () => 3, bus_unwatch_name() {},
    },
    GLib: {
        Variant: class { constructor(type, value) { Object.assign(this, {type, value}); } },
        Bytes: class { constructor(data) { this.data = data; } },
        get_monotonic_time: () => 0, timeout_add_seconds: () => 5, source_remove() {}, PRIORITY_DEFAULT: 0,
    },
    Clutter: {
        Actor: class {
            constructor(properties) { Object.assign(this, properties); }
            show() { this.visible = true; }
            hide() { this.visible = false; }
            set_position(x, y) { Object.assign(this, {x, y}); }
            set_size(width, height) { Object.assign(this, {width, height}); }
            destroy() { this.destroyed = true; }
        },
    },
    Cogl: {PixelFormat: {RGBA_8888: 'RGBA_8888', RGB_888: 'RGB_888'}},
    GdkPixbuf: {
        PixbufLoader: {
            new_with_type: () => ({
                write_bytes() {}, close() {},
                get_pixbuf: () => ({get_width: () => 2, get_height: () => 2, get_has_alpha: () => true,
                    get_rowstride: () => 8, read_pixel_bytes: () => 'pixels'}),
            }),
        },
    },
    St: {
        ImageContent: {new_with_preferred_size: () => content},
        ThemeContext: {get_for_stage: () => ({scale_factor: 1})},
    },
    Main: {layoutManager: {uiGroup, primaryMonitor: {x: 0, y: 0, width: 800, height: 600}}},
    Extension: class { constructor(metadata) { this.metadata = metadata; } },
};

const {default: QuorvelOverlay} = await import(pathToFileURL(join(folder, 'shell-45', 'extension.js')));
const extension = new QuorvelOverlay(modern);
extension.enable();
assert.equal(exported?.path, '/com/tessmin/Quorvel/Overlay');
assert.equal(exported.bus, 'session bus');
const [picture] = uiGroup.children;
assert.equal(picture.reactive, false);
assert.equal(exported.object.Ping(), 1);

const call = () => ({get_sender: () => ':1.5', return_value(value) { this.value = value; },
    return_dbus_error(name, message) { this.error = message; this.errorName = name; }});
// A 2 x 2 PNG's signature and header chunk (the stand-in loader decodes it).
const png = Uint8Array.of(0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 13, 0x49, 0x48, 0x44, 0x52,
    0, 0, 0, 2, 0, 0, 0, 2, 8, 6, 0, 0, 0);
const shown = call();
exported.object.ShowFrameAsync([[0, 0, 320, 200], [320, 200], [100, 10, 2, 2], png], shown);
assert.equal(shown.error, undefined);
assert.deepEqual(shown.value.value, [[240, 0, 320, 200]]);
assert.deepEqual(content.args, ['cogl context', 'pixels', 'RGBA_8888', 2, 2, 8]);
assert.deepEqual([picture.x, picture.y, picture.width, picture.height, picture.visible], [340, 10, 2, 2, true]);
const refused = call();
exported.object.ShowFrameAsync([[0, 0, 320, 200], [641, 200], [0, 0, 0, 0], new Uint8Array()], refused);
assert.match(refused.error, /larger than 640 x 400/);
const oversized = new Uint8Array(2 << 20);
oversized.set(png);
exported.object.ShowFrameAsync([[0, 0, 320, 200], [320, 200], [100, 10, 2, 2], oversized], refused);
assert.match(refused.error, /the image is 2097152 bytes/);
// Showing that throws (a texture the shell cannot make) is answered, not left to time out.
content.failure = 'no texture';
const failed = call();
exported.object.ShowFrameAsync([[0, 0, 320, 200], [320, 200], [100, 10, 2, 2], png], failed);
assert.deepEqual([failed.errorName, failed.error], ['org.freedesktop.DBus.Error.Failed', 'Frame not shown: no texture']);
content.failure = null;

extension.disable();
assert.equal(exported, null);
assert.equal(picture.destroyed, true);
assert.equal(uiGroup.disconnected, 7);
console.log('the extension for GNOME Shell 45 and later loads, shows a frame and unloads');
