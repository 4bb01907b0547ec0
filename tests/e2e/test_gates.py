"""The requirement gates under Wine: the Windows version, the engine for the bitness of Windows
and the expiry date, each allowing and refusing a real package.

Every Windows case costs one registry change of the prefix; the tables are ordered so that each
Windows is set once and all its packages run under it. The engine's own report of the version it
was told shows that the prefix really was that Windows, so a refusal can only come from the gate.
"""

import datetime
import unittest

import harness

WINDOWS_MESSAGE = 'Not for %USER% (%user%).'
BITNESS_MESSAGE = 'No engine for %USER%.'
EXPIRY_MESSAGE = 'Expired on %USER%.'

# The Windows names of ravelpack's --windows.
ELEMENTS = ('95', '98', 'me', 'nt4', '2000', 'xp', 'vista', '7', '8', '8.1', '10', '11', 'later')


def all_but(element):
    return ','.join(e for e in ELEMENTS if e != element)


def only(element, releases=None):
    """Package options allowing one Windows (and for 10 or 11 one range of releases)."""
    options = {'windows': element}
    if releases:
        options['win%s_releases' % element] = releases
    return options


def win10(releases):
    return {'win10_releases': releases}


def win11(releases):
    return {'win11_releases': releases}


# (label, prefix settings, the version the engine is told (regex), packages that run,
#  [(package that is refused, Windows name in its box)])
WINDOWS_CASES = [
    ('win95', dict(windows='win95'), r'4\.0\.\d+ platform=1',
     [only('95')], [(dict(windows=all_but('95')), 'Windows 95')]),
    ('win98', dict(windows='win98'), r'4\.10\.\d+ platform=1',
     [only('98')], [(dict(windows=all_but('98')), 'Windows 98')]),
    ('winme', dict(windows='winme'), r'4\.90\.\d+ platform=1',
     [only('me')], [(dict(windows=all_but('me')), 'Windows ME')]),
    ('nt40', dict(windows='nt40'), r'4\.0\.\d+ platform=2',
     [only('nt4')], [(dict(windows=all_but('nt4')), 'Windows NT 4')]),
    # Service Pack 3 is refused unless a Windows 9x in the set says that any Windows 2000 will do.
    ('win2k sp3', dict(windows='win2k', service_pack=3), r'5\.0\.\d+ platform=2 sp=3',
     [dict(windows='98,2000')],
     [(dict(windows='2000,xp'), 'Windows 2000 Service Pack 3'),
      (dict(windows=all_but('2000')), 'Windows 2000')]),
    ('win2k sp4', dict(windows='win2k', service_pack=4), r'5\.0\.\d+ platform=2 sp=4',
     [dict(windows='2000,xp')], [(dict(windows=all_but('2000')), 'Windows 2000')]),
    ('winxp', dict(windows='winxp'), r'5\.1\.',
     [only('xp')], [(dict(windows=all_but('xp')), 'Windows XP')]),
    # Windows Server 2003 (5.2) counts as Windows XP.
    ('win2003', dict(windows='win2003'), r'5\.2\.',
     [only('xp')], [(dict(windows=all_but('xp')), 'Windows XP')]),
    ('vista', dict(windows='vista'), r'6\.0\.',
     [only('vista')], [(dict(windows=all_but('vista')), 'Windows Vista')]),
    ('win7', dict(windows='win7'), r'6\.1\.',
     [only('7')], [(dict(windows=all_but('7')), 'Windows 7')]),
    ('win8', dict(windows='win8'), r'6\.2\.',
     [only('8')], [(dict(windows=all_but('8')), 'Windows 8')]),
    ('win81', dict(windows='win81'), r'6\.3\.',
     [only('8.1')], [(dict(windows=all_but('8.1')), 'Windows 8.1')]),
    # Windows 10 before build 19042: the release is what ReleaseId says.
    ('win10 1809', dict(windows='win10', build=17763, release_id=1809), r'10\.0\.',
     [only('10', '1809-1809')],
     [(win10('1903-9999'), 'Windows 10 1809 (October 2018 Update)'),
      (dict(windows=all_but('10')), 'Windows 10')]),
    ('win10 2004', dict(windows='win10', build=19041, release_id=2004), r'10\.0\.',
     [only('10', '2004-2004')], [(win10('1507-1909'), 'Windows 10 2004 (May 2020 Update)')]),
    # From build 19042 on the build decides; ReleaseId stays 2009 there, as on real systems, and
    # must not count.
    ('win10 20H2', dict(windows='win10', build=19042, display_version='20H2', release_id=2009),
     r'10\.0\.', [only('10', '2009-2009')],
     [(win10('2105-9999'), 'Windows 10 20H2 (October 2020 Update)')]),
    ('win10 21H1', dict(windows='win10', build=19043, display_version='21H1', release_id=2009),
     r'10\.0\.', [only('10', '2105-2105')],
     [(win10('1507-2009'), 'Windows 10 21H1 (May 2021 Update)')]),
    ('win10 21H2', dict(windows='win10', build=19044, display_version='21H2', release_id=2009),
     r'10\.0\.', [only('10', '2111-2111')],
     [(win10('2210-9999'), 'Windows 10 21H2 (November 2021 Update)')]),
    ('win10 22H2', dict(windows='win10', build=19045, display_version='22H2', release_id=2009),
     r'10\.0\.', [only('10', '2210-2210')],
     [(win10('1507-2111'), 'Windows 10 22H2 (2022 Update)')]),
    ('win11 21H2', dict(windows='win11', build=22000, display_version='21H2'), r'10\.0\.22000 ',
     [only('11', '2110-2110')],
     [(win11('2209-9999'), 'Windows 11 21H2 (Original Release)'),
      (dict(windows=all_but('11')), 'Windows 11')]),
    ('win11 22H2', dict(windows='win11', build=22621, display_version='22H2'), r'10\.0\.22621 ',
     [only('11', '2209-2209')], [(win11('2310-9999'), 'Windows 11 22H2 (2022 Update)')]),
    ('win11 23H2', dict(windows='win11', build=22631, display_version='23H2'), r'10\.0\.22631 ',
     [only('11', '2310-2310')], [(win11('2110-2209'), 'Windows 11 23H2 (2023 Update)')]),
    # A release after the last one the launcher knows: admitted by an upper bound of 9999 alone.
    ('win11 24H2', dict(windows='win11', build=26100, display_version='24H2'), r'10\.0\.26100 ',
     [only('11', '9999-9999')], [(win11('2110-2310'), 'Windows 11 24H2')]),
]

# On 64-bit Windows the 32-bit launcher reads the registry through its 32-bit view: the cases
# that read it run there too.
WINDOWS_CASES_64 = ('win10 1809', 'win10 22H2', 'win11 23H2', 'win11 24H2')


class _Gates:
    """The gates on one prefix; Gates32 and Gates64 run it on a 32-bit and a 64-bit Windows."""

    def setUp(self):
        super().setUp()
        self.folder = self.work()
        self.packages = {}

    def package(self, engine32=True, engine64=None, **options):
        """A package with these options, built once per test."""
        options = dict(windows_message=WINDOWS_MESSAGE, bitness_message=BITNESS_MESSAGE,
                       expiry_message=EXPIRY_MESSAGE, engine32=engine32, engine64=engine64,
                       **options)
        key = tuple(sorted((k, str(v)) for k, v in options.items()))
        if key not in self.packages:
            out = self.folder / ('setup%d.exe' % len(self.packages))
            self.packages[key] = harness.build_package(out, **options)
        return self.packages[key]

    def assertRuns(self, result, variant='32'):
        """No box; the engine of that variant ran to its end; the copy is gone; exit code 0."""
        self.assertFalse(result.timed_out, result)
        self.assertEqual(result.boxes, [], result)
        self.assertEqual(len(result.engine_runs), 1, result)
        self.assertEqual(result.engine.variant, variant, result)
        self.assertTrue(result.engine.ended, result)
        self.assertEqual(result.exit_code, 0, result)
        self.assertEqual(result.temp_new, [], result)

    def assertRefused(self, result, package, text):
        """The one box with the package's text; no engine; nothing written to TEMP."""
        self.assertEndsWithBox(result, text, self.prefix.own_path(package))
        self.assertEqual(result.temp_new, [], result)

    def test_windows_versions(self):
        for label, settings, version, allowed, refused in WINDOWS_CASES:
            if self.arch == 64 and label not in WINDOWS_CASES_64:
                continue
            self.prefix.configure(**settings)
            for options in allowed:
                with self.subTest(label, allowed=options):
                    result = self.prefix.run(self.package(**options))
                    self.assertRuns(result)
                    self.assertRegex(result.engine.version, '^' + version, result)
            for options, name in refused:
                with self.subTest(label, refused=options):
                    package = self.package(**options)
                    result = self.prefix.run(package)
                    self.assertRefused(result, package, 'Not for %s (%s).' % (name, name))
        self.prefix.configure()

    def test_engine_choice(self):
        # (label, package options, user arguments, on 32-bit Windows, on 64-bit Windows):
        # the variant of the engine that runs, or None for the bitness box.
        cases = [
            ('both engines', dict(engine64=True), [], '32', '64'),
            # "/32" anywhere among the arguments, and it is passed on to the engine.
            ('both engines, /32', dict(engine64=True), ['a', '/32', 'b'], '32', '32'),
            # Only the exact text counts.
            ('both engines, look-alikes of /32', dict(engine64=True), ['/320', '-32', 'x/32'],
             '32', '64'),
            ('only a 32-bit engine', {}, [], '32', '32'),
            ('refuse 64-bit Windows', dict(refuse_64bit_windows=True), [], '32', None),
            ('refuse 64-bit Windows, /32', dict(refuse_64bit_windows=True), ['/32'], '32', None),
            ('only a 64-bit engine', dict(engine32=None, engine64=True), [], None, '64'),
            ('only a 64-bit engine, /32', dict(engine32=None, engine64=True), ['/32'], None,
             '64'),
        ]
        self.prefix.configure()
        for label, options, args, on32, on64 in cases:
            with self.subTest(label):
                package = self.package(**options)
                result = self.prefix.run(package, args=args)
                variant = on32 if self.arch == 32 else on64
                if variant is None:
                    # A package message without a Windows name keeps its placeholder.
                    self.assertRefused(result, package, BITNESS_MESSAGE)
                    continue
                self.assertRuns(result, variant)
                run = result.engine
                # The prefix is the Windows it claims to be. Both test engines are 32-bit
                # programs (engine64.exe only reports the variant "64"), so both run in WOW64 on
                # 64-bit Windows.
                self.assertEqual(run.wow64, 'yes' if self.arch == 64 else 'no')
                self.assertTrue(run.cmdline.endswith('"%s"%s' % (
                    self.prefix.own_path(package), ''.join(' ' + a for a in args))), run.cmdline)

    def test_expiry(self):
        # Wine gives the launcher the host's local time, so the dates are the host's.
        today = datetime.date.today()
        day = datetime.timedelta(days=1)
        no_engine_here = (dict(engine32=None, engine64=True) if self.arch == 32
                          else dict(refuse_64bit_windows=True))
        cases = [
            # (label, package options, runs)
            ('expired yesterday', dict(expires=today - day), False),
            ('expires today', dict(expires=today), False),
            ('expires tomorrow', dict(expires=today + day), True),
            # The expiry date is tested first: its box alone, not the bitness box.
            ('expired, and no engine for this Windows', dict(expires=today, **no_engine_here),
             False),
        ]
        self.prefix.configure()
        for label, options, runs in cases:
            with self.subTest(label):
                package = self.package(**options)
                result = self.prefix.run(package)
                if datetime.date.today() != today:
                    self.skipTest('the date changed while the test ran')
                if runs:
                    self.assertRuns(result)
                else:
                    self.assertRefused(result, package, EXPIRY_MESSAGE)


class Gates32(_Gates, harness.WineTestCase):
    arch = 32


class Gates64(_Gates, harness.WineTestCase):
    arch = 64


if __name__ == '__main__':
    unittest.main()
