#!/usr/bin/python3
"""Disc images and their listings through pycdlib, a reader and writer
independent of the programs under test.

  image_tools.py list IMAGE VIEW
      VIEW is iso9660, joliet, rock-ridge or udf. One line an entry, depth
      first, each folder's entries in the order the image records them:
      PATH<TAB>d or f<TAB>LENGTH, PATH's names joined by backslashes, as
      Windows shows them (ISO 9660's own names without their version and
      without the dot of a name without extension).
  image_tools.py extent IMAGE VIEW PATH
      The first sector of the data of the file or folder PATH (names joined
      by slashes, as the view records them).
  image_tools.py make IMAGE TREE [udf]
      An image of the folder TREE with Joliet and Rock Ridge names (and a
      UDF 2.60 bridge with udf), its ISO 9660 names made up (Dnnn, Fnnn.DAT).
  image_tools.py same-names IMAGE TREE VIEWS
      An image of the files one, two and other of TREE (and of its folder
      sub) in which one and two have one name: ISO 9660 A.TXT;1 and
      A.TXT;2, Joliet a;1.txt and a;2.txt (shown as a), UDF a.txt twice;
      other is B.TXT, b.txt. VIEWS: iso9660, joliet or udf, the views
      beside ISO 9660's own the image has.
"""

import io
import os
import sys

import pycdlib


def shown(name):
    name = name.split(';')[0]
    return name[:-1] if name.endswith('.') else name


def list_iso(iso, view, folder, shown_folder, out):
    for child in iso.list_children(**{view: folder or '/'}):
        ident = child.file_identifier()
        if ident in (b'.', b'..', b'\x00', b'\x01'):
            continue
        if child.file_flags & 0x04:  # associated
            continue
        if view == 'joliet_path':
            raw = ident.decode('utf-16-be')
            if raw in ('.', '..'):
                continue
            name = shown(raw)
            next_path = folder + '/' + raw
        elif view == 'rr_path':
            raw = child.rock_ridge.name().decode('utf-8')
            name = raw
            next_path = folder + '/' + raw
        else:
            raw = ident.decode('latin-1')
            name = shown(raw)
            next_path = folder + '/' + raw.split(';')[0]
        path = shown_folder + name
        if child.is_dir():
            out.append('%s\td\t0' % path)
            list_iso(iso, view, next_path, path + '\\', out)
        else:
            out.append('%s\tf\t%d' % (path, child.get_data_length()))


def list_udf(iso, folder, shown_folder, out):
    record = iso.get_record(udf_path=folder or '/')
    for desc in record.fi_descs:
        if desc.is_parent() or (desc.file_characteristics & 0x04):
            continue
        name = desc.fi.decode(desc.encoding)
        path = shown_folder + name
        child_path = folder + '/' + name
        if desc.is_dir():
            out.append('%s\td\t0' % path)
            list_udf(iso, child_path, path + '\\', out)
        else:
            # The descriptor's own File Entry: two identifiers of one name
            # are two files, which a look-up by name would take for one.
            out.append('%s\tf\t%d' % (path, desc.file_entry.get_data_length()))


def make(image, tree, udf):
    iso = pycdlib.PyCdlib()
    iso.new(interchange_level=3, joliet=3, rock_ridge='1.09', udf='2.60' if udf else None)
    counter = [0]

    def add(folder, iso_folder, joliet_folder, udf_folder):
        for name in sorted(os.listdir(folder)):
            counter[0] += 1
            full = os.path.join(folder, name)
            joliet = joliet_folder + '/' + name
            udf_path = (udf_folder + '/' + name) if udf else None
            if os.path.isdir(full):
                iso_path = '%s/D%03d' % (iso_folder, counter[0])
                iso.add_directory(iso_path, rr_name=name, joliet_path=joliet, udf_path=udf_path)
                add(full, iso_path, joliet, udf_path)
            else:
                iso_path = '%s/F%03d.DAT;1' % (iso_folder, counter[0])
                iso.add_file(full, iso_path, rr_name=name, joliet_path=joliet, udf_path=udf_path)

    add(tree, '', '', '')
    iso.write(image)
    iso.close()


def same_names(image, tree, views):
    iso = pycdlib.PyCdlib()
    joliet = views in ('joliet', 'udf')
    iso.new(interchange_level=3, joliet=3 if joliet else None, udf='2.60' if views == 'udf' else None)
    for folder, iso_folder in (('', ''), ('sub', '/SUB')):
        if folder:
            iso.add_directory(iso_folder, joliet_path='/sub' if joliet else None,
                              udf_path='/sub' if views == 'udf' else None)
        for name, iso_name, joliet_name, udf_name in (('one', 'A.TXT;1', 'a;1.txt', 'a.txt'),
                                                      ('two', 'A.TXT;2', 'a;2.txt', 'a.txt'),
                                                      ('other', 'B.TXT;1', 'b.txt', 'b.txt')):
            full = os.path.join(tree, folder, name)
            with open(full, 'rb') as f:
                data = f.read()
            iso.add_fp(io.BytesIO(data), len(data), iso_folder + '/' + iso_name,
                       joliet_path=(iso_folder.lower() + '/' + joliet_name) if joliet else None,
                       udf_path=(iso_folder.lower() + '/' + udf_name) if views == 'udf' else None)
    iso.write(image)
    iso.close()


def main():
    if sys.argv[1] == 'list':
        iso = pycdlib.PyCdlib()
        iso.open(sys.argv[2])
        out = []
        view = sys.argv[3]
        if view == 'udf':
            list_udf(iso, '', '', out)
        else:
            list_iso(iso, {'iso9660': 'iso_path', 'joliet': 'joliet_path', 'rock-ridge': 'rr_path'}[view],
                     '', '', out)
        sys.stdout.write(''.join(line + '\n' for line in out))
    elif sys.argv[1] == 'extent':
        iso = pycdlib.PyCdlib()
        iso.open(sys.argv[2])
        view = {'iso9660': 'iso_path', 'joliet': 'joliet_path', 'rock-ridge': 'rr_path', 'udf': 'udf_path'}[sys.argv[3]]
        print(iso.get_record(**{view: sys.argv[4]}).extent_location())
    elif sys.argv[1] == 'make':
        make(sys.argv[2], sys.argv[3], len(sys.argv) > 4 and sys.argv[4] == 'udf')
    elif sys.argv[1] == 'same-names':
        same_names(sys.argv[2], sys.argv[3], sys.argv[4])


main()
