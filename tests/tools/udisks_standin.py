'''A stand-in for udisks2 on a private bus, for the tools' desktop-user path.

It answers the calls the disk-image tools make (Manager.LoopSetup with a file descriptor,
Filesystem.Mount/Unmount/SetLabel/Resize, Loop.SetAutoclear/Delete) with real loop devices and
real mounts, made with losetup and mount, so the test needs root. Mount folders are made below
the parameter "mount_root", named after the file system's label as udisks names them.
'''

import fcntl
import os
import subprocess

import dbus
from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
MAIN_IFACE = 'org.freedesktop.UDisks2'
SYSTEM_BUS = True

MANAGER = 'org.freedesktop.UDisks2.Manager'
BLOCK = 'org.freedesktop.UDisks2.Block'
FILESYSTEM = 'org.freedesktop.UDisks2.Filesystem'
LOOP = 'org.freedesktop.UDisks2.Loop'

LOOP_SET_STATUS64 = 0x4C04
LOOP_GET_STATUS64 = 0x4C05
LO_FLAGS_AUTOCLEAR = 4
LOOP_INFO64_SIZE = 232
LO_FLAGS_OFFSET = 52
FSLABEL_MAX = 256
FS_IOC_SETFSLABEL = 0x41009432

state = {'root': '', 'devices': {}}


def failure(message, name='Failed'):
    return dbus.exceptions.DBusException(message, name='org.freedesktop.UDisks2.Error.' + name)


def run(*argv, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, check=False, **kwargs)
    if result.returncode != 0:
        text = (result.stderr or result.stdout).strip()
        if 'target is busy' in text:
            raise failure(text, 'DeviceBusy')
        if 'not mounted' in text:
            raise failure(text, 'NotMounted')
        raise failure(f'{argv[0]} failed: {text}')
    return result.stdout.strip()


def load(mock, parameters):
    state['root'] = parameters['mount_root']
    mock.AddObject('/org/freedesktop/UDisks2/Manager', MANAGER, {'Version': dbus.String('2.9.4')},
                   [('LoopSetup', 'ha{sv}', 'o', loop_setup)])


def loop_setup(manager, fd, options):
    number = fd.take()
    try:
        device = run('losetup', '--find', '--show', '--direct-io=on', '--sector-size', '4096',
                     f'/dev/fd/{number}', pass_fds=(number,))
    finally:
        os.close(number)
    path = '/org/freedesktop/UDisks2/block_devices/' + os.path.basename(device)
    if path in mockobject.objects:  # a loop device that cleared itself, now used again
        manager.RemoveObject(path)
    manager.AddObject(path, BLOCK, {'Device': dbus.ByteArray(device.encode() + b'\0')}, [])
    block = mockobject.objects[path]
    block.AddMethods(FILESYSTEM, [('Mount', 'a{sv}', 's', mount), ('Unmount', 'a{sv}', '', unmount),
                                  ('SetLabel', 'sa{sv}', '', set_label), ('Resize', 'ta{sv}', '', resize)])
    block.AddMethods(LOOP, [('Delete', 'a{sv}', '', delete), ('SetAutoclear', 'ba{sv}', '', set_autoclear)])
    state['devices'][path] = {'device': device, 'mount_point': None}
    return dbus.ObjectPath(path)


def entry(block):
    return state['devices'][block.path]


def mount(block, options):
    info = entry(block)
    if info['mount_point']:
        raise failure(f'{info["device"]} is already mounted at {info["mount_point"]}', 'AlreadyMounted')
    label = run('blkid', '-p', '-o', 'value', '-s', 'LABEL', info['device']) or 'disk'
    base = os.path.join(state['root'], label.replace('/', '_'))
    folder, n = base, 1
    while os.path.exists(folder):
        folder, n = f'{base}{n}', n + 1
    os.makedirs(folder)
    try:
        run('mount', '-t', 'ext4', '-o', 'nosuid,nodev', info['device'], folder)
    except dbus.exceptions.DBusException:
        os.rmdir(folder)
        raise
    info['mount_point'] = folder
    return folder


def unmount(block, options):
    info = entry(block)
    if not info['mount_point']:
        raise failure(f'{info["device"]} is not mounted', 'NotMounted')
    run('umount', *(['-l'] if options.get('force') else []), info['mount_point'])
    os.rmdir(info['mount_point'])
    info['mount_point'] = None


def set_label(block, label, options):
    info = entry(block)
    if not info['mount_point']:
        run('e2label', info['device'], label)
        return
    # A mounted ext4 writes its own copy of the superblock back; the kernel sets the label in it.
    folder = os.open(info['mount_point'], os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.ioctl(folder, FS_IOC_SETFSLABEL, label.encode().ljust(FSLABEL_MAX, b'\0'))
    finally:
        os.close(folder)


def resize(block, size, options):
    run('resize2fs', entry(block)['device'], f'{size // 1024}K')


def set_autoclear(block, value, options):
    with open(entry(block)['device'], 'rb') as device:
        status = bytearray(LOOP_INFO64_SIZE)
        fcntl.ioctl(device, LOOP_GET_STATUS64, status)
        flags = int.from_bytes(status[LO_FLAGS_OFFSET:LO_FLAGS_OFFSET + 4], 'little')
        flags = flags | LO_FLAGS_AUTOCLEAR if value else flags & ~LO_FLAGS_AUTOCLEAR
        status[LO_FLAGS_OFFSET:LO_FLAGS_OFFSET + 4] = flags.to_bytes(4, 'little')
        fcntl.ioctl(device, LOOP_SET_STATUS64, bytes(status))


def delete(block, options):
    run('losetup', '-d', entry(block)['device'])
