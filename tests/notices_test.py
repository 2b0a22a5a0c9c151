#!/usr/bin/python3
"""packaging/third-party.py against the fixture in tests/notices/, a source tree committed to git: a link map,
DEP-5 and GCC copyright files, and dpkg-query's answers below. Each row edits the tree after its commit (or
not), makes the notices, the SBOM and the link record, and names what they (or the refusal) must hold."""
import hashlib, json, os, re, shutil, subprocess, sys, tempfile, types
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
third_party = types.ModuleType('third_party')
exec(compile(Path(f'{HERE}/../packaging/third-party.py').read_text(), 'third-party.py', 'exec'), third_party.__dict__)
OWNERS = {'crtbegin.o': 'gcc-mingw-w64-i686-win32', 'libgcc.a': 'gcc-mingw-w64-i686-win32',
          'libkernel32.a': 'mingw-w64-i686-dev'}
FIELDS = {'gcc-mingw-w64-i686-win32': '12.2.0-14+25.2|gcc-mingw-w64|12.2.0-14+25.2|amd64',
          'mingw-w64-i686-dev': '10.0.0-3|mingw-w64|10.0.0-3|all'}
third_party.dpkg_query = lambda *args: (''.join(f'{OWNERS[os.path.basename(path)]}: {path}\n' for path in args[1:])
                                        if args[0] == '-S' else FIELDS[args[-1]])
ROWS = [  # name, an edit after the commit (file, text, its replacement), what the outputs or the refusal hold
    ('last-files-paragraph-wins', None, '  mingw-w64-crt/crt/crtexe.c (public-domain):\n    crt2.o\n'),
    ('public-domain-explained', None, '{"extractedText": "This file has no copyright assigned and is placed in the '
     'Public\\nDomain.", "licenseId": "LicenseRef-public-domain", "name": "public-domain"}'),
    ('gcc-runtime-exception', None, '"licenseConcluded": "GPL-3.0-or-later WITH GCC-exception-3.1"'),
    ('gcc-copyright', None, '"copyrightText": "1986, 1987, 1988, 2019 Free Software Foundation, Inc."'),
    ('every-licence-applies', None, '"licenseConcluded": "LicenseRef-public-domain AND ZPL-2.1"'),
    ('zpl-holders-noticed', None, '\n\nCopyright (c) 2009-2016 the mingw-w64 project\n\nRedistribution and use'),
    ('document-describes-karvelon', None, '{"relatedSpdxElement": "SPDXRef-karvelon", "relationshipType": "DESCRIBES", '
     '"spdxElementId": "SPDXRef-DOCUMENT"}'),
    ('components-linked-in', None, '{"relatedSpdxElement": "SPDXRef-MinGW-w64-import-libraries", '
     '"relationshipType": "STATIC_LINK", "spdxElementId": "SPDXRef-karvelon"}'),
    ('committed-source', None, '"sourceInfo": "built from git commit {commit}"'),
    ('tree-inside-a-checkout', None, '"sourceInfo": "built from a source tree outside git: no source commit is known"'),
    ('namespace-digest', None, 'namespace ends in the digest of the rest: True'),
    ('uncommitted-changes', ('mingw-w64/debian/changelog', 'medium', 'low'),
     '"sourceInfo": "built from git commit {commit} with uncommitted changes"'),
    ('commit-time', None, '"comment": "The creation time is the source commit\'s.", "created": "2001-09-09T01:46:40Z"'),
    ('relink-when-a-linked-file-changes', None, 'relinks: [False, True]'),
    ('unlicensed-file', ('mingw-w64/debian/copyright', 'Files: *', 'Files: mingw-w64-crt/lib32/*'),
     'mingw-w64-crt/stdio/acrt_iob_func.c (linked as libmingw32.a(acrt_iob_func.c.obj)): no licence found'),
    ('licence-ref-without-text', ('mingw-w64/debian/copyright', 'License: public-domain\n ', 'License: other\n '),
     'copyright names "public-domain" but holds no text for it'),
    ('libgcc-outside-the-exception', ('gcc-mingw-w64-i686-win32/copyright', 'file):\n', 'file):\n\n - libatomic\n'),
     'copyright does not say that the GCC Runtime Library Exception 3.1 covers libgcc'),
    ('unknown-licence', ('mingw-w64/debian/copyright', 'License: public-domain\n', 'License: Lucent\n'),
     'its licence in {work}/source/mingw-w64/debian/copyright is "Lucent", which packaging/third-party.py does not'),
    ('unknown-source', ('karvelon.map', 'gccmain', 'gcc_main'), 'libmingw32.a(gcc_main.c.obj) ({work}/build/'
     'mingw-runtime/libmingw32.a): the link took it, but which source file it was built from is not known'),
]


def outputs(work, edit):
    source, build = shutil.copytree(f'{HERE}/notices', f'{work}/source', symlinks=True), f'{work}/build'
    git = ['git', '-C', source, '-c', 'user.name=KARVELON', '-c', 'user.email=karvelon@example.org',
           '-c', 'commit.gpgsign=false']
    for command in (['init', '-q'], ['add', '.'], ['commit', '-qm', 'Fixture']):
        subprocess.run(git + command, check=True, env=dict(os.environ, GIT_COMMITTER_DATE='@1000000000 +0000'))
    commit = subprocess.run(git + ['rev-parse', 'HEAD'], capture_output=True, text=True, check=True).stdout.strip()
    for path in re.findall(r'^LOAD ([^ ]+)$', Path(f'{source}/karvelon.map').read_text(), re.M):
        Path(f'{build}/{path}').parent.mkdir(parents=True, exist_ok=True)
        Path(f'{build}/{path}').write_text('!<arch>\n' if path.endswith('.a') else '')
    if edit:
        Path(f'{source}/{edit[0]}').write_text(Path(f'{source}/{edit[0]}').read_text().replace(edit[1], edit[2], 1))
    third_party.DOC_DIR = source
    run = lambda *args: third_party.main([*args, '--map', f'{source}/karvelon.map', '--build-dir', build])
    objects = ('crt2.o=mingw-w64-crt/crt/crtexe.c', 'libmingw32.a(gccmain.c.obj)=mingw-w64-crt/crt/gccmain.c',
               'libmingw32.a(acrt_iob_func.c.obj)=mingw-w64-crt/stdio/acrt_iob_func.c')
    run('notices', '--runtime-dir', f'{build}/mingw-runtime', '--mingw-source', f'{source}/mingw-w64',
        '--version', '2.0.0', '--vendor', 'Karvelon', '--licence-id', 'MIT',
        '--licence-file', f'{HERE}/../packaging/LICENSE.txt',
        '--notices', f'{build}/notices', '--template', f'{build}/template', *(f'--runtime-object={o}' for o in objects))
    sboms = []
    for tree in (f'{source}/mingw-w64', source):  # a tree inside the checkout, then the checkout, which rewrites it
        run('sbom', '--template', f'{build}/template', '--exe', f'{build}/notices', '--source-dir', tree,
            '--output', f'{build}/sbom')
        sboms.append(Path(f'{build}/sbom').read_text())
    namespace = json.loads(sboms[-1])['documentNamespace']
    digest = hashlib.sha256(sboms[-1][:-1].replace(namespace, '').encode()).hexdigest()
    text = (Path(f'{build}/notices').read_bytes().decode('ascii').replace('\r\n', '\n')
            + ''.join(json.dumps(json.loads(sbom), sort_keys=True) for sbom in sboms)
            + f'namespace ends in the digest of the rest: {namespace.endswith("-" + digest)}\n')
    run('record-link', '--record', f'{build}/record')
    relinks = []
    for changed in ([], [f'{work}/toolchain/libgcc.a']):  # nothing; a linked file that takes an older time
        Path(f'{build}/stamp').touch()
        os.utime(f'{build}/stamp', (0, 0))
        for path in changed:
            os.utime(path, (1, 1))
        run('check-link', '--record', f'{build}/record', '--stamp', f'{build}/stamp')
        relinks.append(os.stat(f'{build}/stamp').st_mtime > 0)
    return text + f'relinks: {relinks}', commit


failed, results = 0, {}
with tempfile.TemporaryDirectory() as top:
    for name, edit, expected in ROWS:
        if edit not in results:  # the rows without an edit share one run
            work = tempfile.mkdtemp(dir=top)
            try:
                results[edit] = (*outputs(work, edit), work)
            except SystemExit as stop:
                results[edit] = (str(stop.code), None, work)
        text, commit, work = results[edit]
        expected = expected.replace('{commit}', str(commit)).replace('{work}', work)
        failed += expected not in text
        print(f'ok {name}' if expected in text else f'FAIL {name}: no {expected!r} in\n{text}')
sys.exit(failed > 0)
