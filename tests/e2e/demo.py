"""The demo of scripts/demo.sh: a setup package made with ravelpack, run under Wine, and what
happened at each step. Exit status 0 when the run went as a user would expect."""

import sys
import textwrap
import time

import harness


def say(text='', indent=0):
    print(textwrap.indent(text, ' ' * indent) if text else '', flush=True)


def show_box(box, indent):
    say('caption: %s' % box.caption, indent)
    say('text:    %s' % '\n         '.join(textwrap.wrap(box.text, 88)), indent)
    icon = 'error (MB_ICONERROR)' if box.is_error else box.icon
    say('icon:    %s; buttons: %s; the watcher pressed OK' % (icon, ', '.join(box.buttons)),
        indent)


def main():
    launcher = harness.program('launcher.exe')
    say('Ravelkit launcher demo: a setup package under Wine')
    say()
    say('1. The launcher: %s (%d bytes)' % (launcher, launcher.stat().st_size))
    started = time.monotonic()
    say('   Wine: a 32-bit prefix of our own (made once per build folder, about 15 s)...')
    prefix = harness.Prefix.open('demo', 32)
    say('   ready: %s, Windows 7 SP1 (Wine\'s default), TEMP is %s (%.1f s)'
        % (prefix.path, prefix.info['temp'], time.monotonic() - started))
    work = harness.work_dir('demo')

    say()
    say('2. Without a package the launcher cannot read one and says so:')
    bare = harness.place(launcher, work / 'bare', 'launcher.exe')
    result = prefix.run(bare, timeout=30)
    for box in result.boxes:
        show_box(box, 6)
    say('exit code: %s' % result.exit_code, 6)

    try:
        harness.program('ravelpack')
    except harness.HarnessError:
        say()
        say('ravelpack is not built yet: no package to show.')
        return 0 if len(result.boxes) == 1 else 1

    say()
    engine = harness.program('engine.exe')
    package = work / 'Setup Demo' / 'setup.exe'
    say('3. A package: the test engine (%s, %d bytes), which writes down what it receives,'
        % (engine.name, engine.stat().st_size))
    say('   packed with ravelpack into %s' % package)
    harness.build_package(package, engine32=engine)
    say('   $ ravelpack inspect %s' % package.name)
    say(harness.ravelpack('inspect', package).stdout.rstrip(), 6)

    args = ['/demo', 'hello world']
    say()
    say('4. Run under Wine: %s %s' % (package.name, ' '.join(harness.quote_arg(a) for a in args)))
    say('   from the folder %s, as %s' % (prefix.to_windows(package.parent),
                                          prefix.to_windows(package)))
    say('   The engine stays 1 s and ends with exit code 3.')
    result = prefix.run(package, args=args, timeout=60,
                        env={'RAVELKIT_ENGINE_SLEEP_MS': '1000', 'RAVELKIT_ENGINE_EXIT_CODE': '3'})
    for box in result.boxes:
        say('   A message box appeared:')
        show_box(box, 6)
    if not result.engine_runs:
        say('   No engine was started (exit code %s).' % result.exit_code)
        return 1

    run = result.engine_runs[0]
    say()
    say('5. What the launcher did, from Wine\'s trace of its calls:')
    for call in result.calls_of():
        say(str(call), 6)

    say()
    say('6. What the engine received:')
    say('command line:    %s' % run.cmdline, 6)
    say('current folder:  %s' % run.cwd, 6)
    say('its own path:    %s  (the temporary copy)' % run.module, 6)
    say('package path:    %s' % run.package, 6)
    say('package file still held open by the launcher while the engine ran: %s'
        % ('no' if run.package_exclusive else 'yes'), 6)
    say('ended with exit code %s' % run.exit_code, 6)

    copy = prefix.to_linux(run.module)
    say()
    say('7. After the run:')
    say('temporary copy %s: %s' % (run.module, 'still there' if copy.exists() else 'gone'), 6)
    say('files left in TEMP: %s' % (', '.join(result.temp_new) or 'none'), 6)
    say('launcher exit code: %s (the engine\'s code is not passed on)' % result.exit_code, 6)
    say('the run took %.1f s under Wine' % result.seconds, 6)
    prefix.stop()

    expected = ('"%s" /demo "hello world"' % prefix.to_windows(package))
    ok = (not result.boxes and len(result.engine_runs) == 1 and run.ended
          and run.cmdline.endswith(' ' + expected) and run.cwd == prefix.to_windows(package.parent)
          and run.package_exclusive and not copy.exists() and result.exit_code == 0)
    say()
    say('All as expected.' if ok else 'Something differed from what a user should see (above).')
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
