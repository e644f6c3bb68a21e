// Quorvel's lock-screen overlay for GNOME Shell 45 and later, which load extensions written as
// ES modules. The frame host itself is host.js, shared with the variant for GNOME Shell 43 and
// 44.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Clutter from 'gi://Clutter';
import Cogl from 'gi://Cogl';
import GdkPixbuf from 'gi://GdkPixbuf';
import St from 'gi://St';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

import {FrameHost} from './host.js';

export default class QuorvelOverlayExtension extends Extension {
    enable() {
        this._host = new FrameHost({Gio, GLib, Clutter, Cogl, GdkPixbuf, St, Main});
        this._host.enable();
    }

    disable() {
        this._host?.disable();
        this._host = null;
    }
}
