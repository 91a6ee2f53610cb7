"""The built Windows executable: PE header, manifest, icon group 101, dialog template 1001 and
the version resource, whose version is the project's (given by the build)."""

import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_MANIFEST = 3, 5, 14, 24
EXE = None
VERSION = None  # the project version, "0.7.1"


def resources(pe):
    """{(type id, name id): [(language id, bytes)]}"""
    found = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                rva, size = lang_entry.data.struct.OffsetToData, lang_entry.data.struct.Size
                found.setdefault((type_entry.id, name_entry.id), []).append(
                    (lang_entry.id, pe.get_data(rva, size)))
    return found


def utf16z(text):
    return text.encode("utf-16-le") + b"\x00\x00"


def align4(data):
    return data + b"\x00" * (-len(data) % 4)


def expected_dialog():
    """The extended template byte for byte."""
    style = 0x80C0025C  # WS_POPUP|WS_CAPTION|DS_SETFOREGROUND|DS_SETFONT|DS_FIXEDSYS|DS_NOFAILCREATE|DS_3DLOOK
    data = struct.pack("<HHIIIHhhhh", 1, 0xFFFF, 0, 0, style, 2, 0, 0, 187, 55)
    data += b"\x00\x00" + b"\x00\x00" + utf16z("Zephrane")  # no menu, default class, caption
    data += struct.pack("<HHBB", 8, 400, 0, 0) + utf16z("MS Shell Dlg")
    label = struct.pack("<IIIhhhhi", 0, 0, 0x50020000, 11, 10, 66, 8, -1)
    label += struct.pack("<HH", 0xFFFF, 0x0082) + utf16z("Updating Vellicor...") + b"\x00\x00"
    bar = struct.pack("<IIIhhhhi", 0, 0, 0x50800008, 11, 27, 165, 14, 10001)
    bar += utf16z("msctls_progress32") + b"\x00\x00" + b"\x00\x00"
    return align4(align4(data) + label) + bar


class ResourcesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)
        cls.resources = resources(cls.pe)

    def test_pe_header_is_i386_gui(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x14C)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2)

    def test_manifest(self):
        (language, data), = self.resources[(RT_MANIFEST, 1)]
        root = ElementTree.fromstring(data)
        v1 = "{urn:schemas-microsoft-com:asm.v1}"
        v3 = "{urn:schemas-microsoft-com:asm.v3}"
        identity = root.find(v1 + "assemblyIdentity")
        self.assertEqual(identity.get("name"), "Vellicor.Updater")
        self.assertEqual(identity.get("version"), "1.0.0.0")
        self.assertEqual(identity.get("processorArchitecture"), "*")
        self.assertEqual(root.find(v1 + "description").text, "Vellicor update helper")
        controls = root.find(f"{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity")
        self.assertEqual(controls.get("name"), "Microsoft.Windows.Common-Controls")
        self.assertEqual(controls.get("version"), "6.0.0.0")
        level = root.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/"
                          f"{v3}requestedExecutionLevel")
        self.assertEqual((level.get("level"), level.get("uiAccess")), ("asInvoker", "false"))
        settings = f"{v3}application/{v3}windowsSettings/" \
            "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
        self.assertEqual(root.find(settings + "dpiAwareness").text, "PerMonitorV2, unaware")
        self.assertEqual(root.find(settings + "longPathAware").text, "true")

    def test_icon_group_has_six_sizes_at_32_bits(self):
        (language, group), = self.resources[(RT_GROUP_ICON, 101)]
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 6))
        sizes = []
        for i in range(count):
            width, height, colors, _, planes, bits, size, icon_id = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual(bits, 32)
            self.assertEqual(width, height)
            image = self.resources[(RT_ICON, icon_id)][0][1]
            self.assertEqual(len(image), size)
            if image.startswith(b"\x89PNG\r\n\x1a\n"):
                real_width, real_height, depth, color_type = struct.unpack_from(">IIBB", image, 16)
                self.assertEqual((depth, color_type), (8, 6))  # 8-bit RGBA: 32 bits per pixel
            else:
                _, real_width, double_height, _, real_bits = struct.unpack_from("<IiiHH", image)
                real_height = double_height // 2
                self.assertEqual(real_bits, 32)
            self.assertEqual((real_width, real_height), (width or 256, height or 256))
            sizes.append(width or 256)
        self.assertEqual(sorted(sizes, reverse=True), [256, 128, 64, 48, 32, 16])

    def test_dialog_template(self):
        (language, data), = self.resources[(RT_DIALOG, 1001)]
        self.assertEqual(language, 1033)
        expected = expected_dialog()
        self.assertEqual(data[:len(expected)].hex(" ", 4), expected.hex(" ", 4))
        self.assertEqual(data[len(expected):].strip(b"\x00"), b"")


    def test_version_resource(self):
        numbers = [int(part) for part in VERSION.split(".")] + [0]
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        for most, least in ((fixed.FileVersionMS, fixed.FileVersionLS),
                            (fixed.ProductVersionMS, fixed.ProductVersionLS)):
            self.assertEqual([most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF], numbers)
        self.assertEqual(fixed.FileType, 1)  # an application
        tables = [table for info in self.pe.FileInfo[0] if hasattr(info, "StringTable")
                  for table in info.StringTable]
        self.assertEqual([table.LangID for table in tables], [b"040904b0"])
        four_parts = (VERSION + ".0").encode()
        self.assertEqual(tables[0].entries, {
            b"FileDescription": b"Vellicor update helper", b"FileVersion": four_parts,
            b"OriginalFilename": b"vellicor-updater.exe", b"ProductName": b"Vellicor",
            b"ProductVersion": four_parts})
        translations = [var.entry for info in self.pe.FileInfo[0] if hasattr(info, "Var")
                        for var in info.Var]
        self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    VERSION = sys.argv.pop(1)
    unittest.main(verbosity=2)
