#!/usr/bin/python3
"""The third-party notices and the SPDX bill of materials of karvelon.exe, from its link map, on Debian's
python3-debian and python3-license-expression. cmake/packaging.cmake runs each step; scripts/sign runs sbom.
  notices      THIRD-PARTY-NOTICES.txt and the SBOM's template: each file that the link took and that is not
               KARVELON's own, its Debian package and version, the source file it was built from, and that
               file's licence by the package's copyright file. A file whose source or licence is unknown stops it.
  sbom         the SBOM of one exe: the template with the exe's SHA-256, the source commit and a creation time.
  record-link  after each link: the files it loaded, with their times and sizes.
  check-link   before each link: renews the stamp that the link depends on if any of those files changed.
"""
import argparse, datetime, hashlib, itertools, json, os, re, shutil, subprocess, sys, textwrap
from pathlib import Path
from debian.changelog import Changelog
from debian.copyright import Copyright, Error as CopyrightError
from license_expression import get_spdx_licensing

# Debian's licence names as SPDX has them, and whether the licence asks for its text to go with a binary.
# Public-domain files ask for nothing; their statement goes into the SBOM alone. A licence missing here
# stops the build: someone has to read it before it ships.
LICENCES = {'ZPL-2.1': ('ZPL-2.1', True), 'public-domain': ('LicenseRef-public-domain', False)}
# GCC's copyright file is not machine-readable: the paragraph after GCC_STATEMENT lists the runtime
# libraries under the GCC Runtime Library Exception 3.1 and must name libgcc; another gives GCC's copyright.
GCC, GCC_LICENCE = 'GCC runtime library', 'GPL-3.0-or-later WITH GCC-exception-3.1'
GCC_FILES = ('crtbegin.o', 'crtend.o', 'libgcc.a', 'libgcc_eh.a')
GCC_STATEMENT = ('The following runtime libraries are licensed under the terms of the GNU General Public License '
                 '(v3 or later) with version 3.1 of the GCC Runtime Library Exception (included in this file):')
GCC_NOTE = ("The GCC Runtime Library Exception 3.1 lets this code be part of karvelon.exe under KARVELON's own "
            "terms; it asks for no notice.")
DOC_DIR = '/usr/share/doc'
INTRO = """karvelon.exe carries, besides KARVELON's own code (see LICENSE.txt),
parts of the software below, linked into it. Each comes from a Debian
package of the version given; each file's licence is the one that
Debian's copyright file for the package gives it. The texts of the
licences that ask for them to go with a program follow the list.
"""
LINK_INTRO = """

What the link took
------------------

Each file that the linker took into karvelon.exe from the software
above, under the source file it was built from and that file's
licence in Debian's copyright file:
"""
HEADINGS = ('Archive member included', 'Allocating common symbols', 'Discarded input sections',
            'Memory Configuration', 'Linker script and memory map')


def stop(message):
    sys.exit(f'third-party.py: {message}')


def dpkg_query(*args):
    return subprocess.run(['dpkg-query', *args], capture_output=True, text=True, check=False).stdout


def read_map(map_file, build_dir):
    """Every file that the link loaded; and those it took: objects, and the archive members it included."""
    section, loaded, taken = '', [], []
    for line in Path(map_file).read_text('utf-8', 'surrogateescape').splitlines():
        if line.startswith(HEADINGS):
            section = line
        elif section.startswith(HEADINGS[0]) and line[:1] not in ('', ' ', '\t'):
            member = re.match(r'([^()]+\.a)\(([^()]+)\)', line) or stop(f'{map_file}: cannot read this line: {line}')
            taken.append((os.path.normpath(os.path.join(build_dir, member[1])), member[2]))
        elif section.startswith(HEADINGS[-1]) and re.match('LOAD (?!dll stuff$|linker stubs$)', line):  # not ld's own
            path = os.path.normpath(os.path.join(build_dir, line[5:]))
            if not os.path.exists(path):
                stop(f'{map_file}: the link loaded {path}, which is not there')
            loaded.append(path)
            with open(path, 'rb') as file:  # an archive counts by the members that the link took from it
                taken += [] if file.read(8) in (b'!<arch>\n', b'!<thin>\n') else [(path, '')]
    return loaded, list(dict.fromkeys(taken)) or stop(f'{map_file} lists no input files: is it a map of GNU ld?')


def debian_packages(paths):
    """The installed package that holds each path: (name, version, source, source version, architecture)."""
    owners = [re.fullmatch(r'([^ :,]+)(:[a-z0-9]+)?: (/.*)', line) for line in dpkg_query('-S', *paths).splitlines()]
    owners = {owner[3]: owner[1] for owner in owners if owner}  # not "a, b: path", nor a diversion
    packages = {}
    for path in paths:
        package = owners.get(path) or stop(f'{path}: the link took it, but no installed Debian package holds it')
        fields = dpkg_query('-W', '-f=${Version}|${source:Package}|${source:Version}|${Architecture}', package)
        if fields.count('|') != 3:
            stop(f'{path}: dpkg-query knows no version of {package}, which holds it')
        packages[path] = (package, *fields.split('|'))
    return packages


def third_party_files(args, taken):
    """Each file of the link that is not KARVELON's own (the runtime it builds is not) as a component, its
    (version, origin, purl), the source file it was built from, the copyright file that says its licence, a name."""
    log = Changelog(Path(f'{args.mingw_source}/debian/changelog').read_text('utf-8'), max_blocks=1)
    if not log.package:
        stop(f'{args.mingw_source}/debian/changelog does not start with a Debian package and version')
    runtime_sources, runtime = dict(entry.split('=', 1) for entry in args.runtime_object), args.runtime_dir + '/'
    theirs = [(path, member) for path, member in taken
              if path.startswith(runtime) or not path.startswith(args.build_dir + '/')]
    packages = debian_packages(sorted({path for path, _ in theirs if not path.startswith(runtime)}))
    for path, member in theirs:
        base, source = os.path.basename(path), None
        name = base + (f'({member})' if member else '')
        if path.startswith(runtime):
            component, copyright_file = 'MinGW-w64 runtime', f'{args.mingw_source}/debian/copyright'
            origin = (str(log.version), f"Debian source package {log.package}, compiled by KARVELON's build for the "
                      'i486', f'pkg:deb/debian/{log.package}@{log.version}?arch=source')
            source = runtime_sources.get(os.path.relpath(path, args.runtime_dir) + name[len(base):])
        else:
            package, version, source_package, source_version, arch = packages[path]
            origin = (version, f'Debian package {package}', f'pkg:deb/debian/{package}@{version}?arch={arch}')
            copyright_file, dll = f'{DOC_DIR}/{package}/copyright', re.fullmatch(r'lib(\w+)\.a', base, re.A)
            if base in GCC_FILES:
                component, source = GCC, 'libgcc/'
            elif dll and re.fullmatch(rf'lib{dll[1]}(_def)?(s[0-9]+|h|t)\.o', member) and source_package == log.package:
                component = 'MinGW-w64 import libraries'  # dlltool's: a head, a tail and a stub per function
                if source_version != str(log.version):
                    stop(f'{name} comes from {package} {version}, built from {source_package} {source_version}, but '
                         f'{args.mingw_source} holds {log.version}: run scripts/setup, which fetches the installed one')
                candidates = (f'lib32/{dll[1]}.def', f'lib-common/{dll[1]}.def.in', f'lib-common/{dll[1]}.def')
                source = next((f'mingw-w64-crt/{candidate}' for candidate in candidates
                               if os.path.exists(f'{args.mingw_source}/mingw-w64-crt/{candidate}')), None)
        if not source:
            stop(f'{name} ({path}): the link took it, but which source file it was built from is not known, so its '
                 'licence cannot be looked up: teach packaging/third-party.py')
        yield component, origin, source, copyright_file, name


def licence_of(source, name, copyright_file, dep5):
    """Debian's name for its licence, the SPDX id, whether its text must go along, the text, the copyright."""
    if copyright_file not in dep5:
        try:
            with open(copyright_file, encoding='utf-8') as file:
                dep5[copyright_file] = Copyright(file)
        except (OSError, CopyrightError) as error:
            stop(f'{name}: no licence found: {copyright_file}: {error}')
    paragraph = dep5[copyright_file].find_files_paragraph(source)  # the last that matches, as the format says
    if not paragraph:
        stop(f'{source} (linked as {name}): no licence found: no Files: paragraph of {copyright_file} matches it')
    debian_name = paragraph.license.synopsis
    if debian_name not in LICENCES:
        stop(f'{source} (linked as {name}): its licence in {copyright_file} is "{debian_name}", which '
             'packaging/third-party.py does not know: read it, and add its SPDX identifier there')
    spdx, needs_text = LICENCES[debian_name]
    text = paragraph.license.text or next((alone.license.text for alone in dep5[copyright_file].all_license_paragraphs()
                                           if alone.license.synopsis == debian_name), '')
    if not text and (needs_text or spdx.startswith('LicenseRef-')):
        stop(f'{source} (linked as {name}): no licence text found: {copyright_file} names "{debian_name}" but '
             'holds no text for it')
    return debian_name, spdx, needs_text, text, '\n'.join(line.strip() for line in paragraph.copyright.splitlines())


def gcc_copyright(name, copyright_file):
    """GCC's copyright holders, once its copyright file says that the exception covers libgcc."""
    paragraphs = re.split(r'\n\s*\n', Path(copyright_file).read_text('utf-8'))
    text = '\n'.join(' '.join(paragraph.split()) for paragraph in paragraphs)  # a paragraph a line
    if not re.search(re.escape(GCC_STATEMENT) + r'\n(.* )?- libgcc ', text):
        stop(f'{name}: no licence found: {copyright_file} does not say that the GCC Runtime Library Exception 3.1 '
             'covers libgcc')
    return (re.search(r'^GCC is Copyright \(C\) (.+)$', text, re.M) or stop(f'{copyright_file} names no holder'))[1]


def spdx_id(component):
    return 'SPDXRef-' + re.sub(r'[^A-Za-z0-9.]+', '-', component)


def field(label, text):
    """`  Label:    text`, wrapped at 72 columns under itself."""
    return textwrap.fill(text, 72, initial_indent=f'  {label}:'.ljust(12), subsequent_indent=' ' * 12,
                         break_long_words=False, break_on_hyphens=False) + '\n'


def styled(value, indent=''):
    """JSON laid out as CMake's string(JSON) lays it out (jsoncpp's styled writer), as the SBOM always was."""
    inner, nested = indent + '  ', lambda item: item and isinstance(item, (dict, list))
    if isinstance(value, dict) and value:
        members = (f'\n{inner}{json.dumps(key)} : ' + ('\n' + inner if nested(item) else '') + styled(item, inner)
                   for key, item in sorted(value.items()))
        return '{' + ','.join(members) + f'\n{indent}}}'
    if nested(value) and isinstance(value, list):
        return '[' + ','.join(f'\n{inner}{styled(item, inner)}' for item in value) + f'\n{indent}]'
    return json.dumps(value)


def notices(args):
    components, texts, holders, explained, dep5 = {}, {}, {}, {}, {}  # by name; by SPDX id; by copyright file
    _, taken = read_map(args.map, args.build_dir)
    for component, origin, source, copyright_file, name in third_party_files(args, taken):
        entry = components.setdefault(component, dict(origin=origin, files=[], licences=set(), holders={}))
        if entry['origin'] != origin:
            stop(f'{component} comes from two packages: {entry["origin"][1]}, and {origin[1]} ({name})')
        if component == GCC:
            debian_name, spdx, needs_text, licence_text, holder = (GCC_LICENCE, GCC_LICENCE, False, '',
                                                                   gcc_copyright(name, copyright_file))
        else:
            debian_name, spdx, needs_text, licence_text, holder = licence_of(source, name, copyright_file, dep5)
        if needs_text:
            texts[spdx] = licence_text
            holders.setdefault(spdx, {})[holder] = None
        if spdx.startswith('LicenseRef-'):
            explained[spdx] = (debian_name, licence_text)
        entry['files'].append((source, debian_name, name))
        entry['licences'].add(spdx)
        entry['holders'][holder] = None
    for entry in components.values():
        entry['licence'] = ' AND '.join(sorted(entry['licences']))
        entry['copyright'] = '\n'.join(holder for holder in entry['holders'] if holder != 'public-domain')
    validate = get_spdx_licensing().validate
    for expression in [args.licence_id] + [entry['licence'] for entry in components.values()]:
        check = validate(expression)  # each LicenseRef must be one that the document explains
        if check.errors and (not check.invalid_symbols or set(check.invalid_symbols) - set(explained)):
            stop(f'"{expression}" is not an SPDX licence expression: {"; ".join(check.errors)}')
    order = sorted(components, key=spdx_id)

    title = f'KARVELON {args.version} - third-party notices'
    text = f'{title}\n{"=" * len(title)}\n\n{INTRO}'
    for component in order:
        (version, origin, _), licence = components[component]['origin'], components[component]['licence']
        text += (f'\n{component}\n' + field('Version', version) + field('From', origin) + field('Licence', licence)
                 + (field('Note', GCC_NOTE) if component == GCC else ''))
    for spdx in sorted(texts):
        copyright_lines = ''.join(f'Copyright (c) {line}\n' for holder in holders[spdx] for line in holder.splitlines())
        text += f'\n\n{spdx}\n{"-" * len(spdx)}\n\n{copyright_lines}\n{texts[spdx]}\n'
    text += LINK_INTRO
    for component in order:
        text += f'\n{component}, {components[component]["origin"][0]}:\n'
        for (source, debian_name), files in itertools.groupby(sorted(components[component]['files']), lambda f: f[:2]):
            text += f'  {source} ({debian_name}):\n' + ''.join(f'    {name}\n' for _, _, name in files)

    own_copyright = re.search(r'^Copyright .*', Path(args.licence_file).read_text('utf-8'), re.M)
    own_copyright = own_copyright[0] if own_copyright else 'NOASSERTION'
    vendor = f'Organization: {args.vendor}'
    packages = [dict(SPDXID='SPDXRef-karvelon', name='karvelon', versionInfo=args.version, supplier=vendor,
                     licenseConcluded=args.licence_id, licenseDeclared=args.licence_id, packageFileName='karvelon.exe',
                     copyrightText=own_copyright, primaryPackagePurpose='APPLICATION')]
    for component in order:
        (version, origin, purl), entry = components[component]['origin'], components[component]
        packages.append(dict(SPDXID=spdx_id(component), name=component, versionInfo=version, sourceInfo=origin,
                             supplier='Organization: Debian', licenseConcluded=entry['licence'],
                             licenseDeclared='NOASSERTION', copyrightText=entry['copyright'] or 'NOASSERTION',
                             primaryPackagePurpose='LIBRARY',
                             externalRefs=[dict(referenceCategory='PACKAGE-MANAGER', referenceType='purl',
                                                referenceLocator=purl)]))
    relationships = [('SPDXRef-DOCUMENT', 'DESCRIBES', 'SPDXRef-karvelon')]
    relationships += [('SPDXRef-karvelon', 'STATIC_LINK', spdx_id(component)) for component in order]
    creators = [vendor, 'Tool: KARVELON packaging/third-party.py']
    sbom = dict(spdxVersion='SPDX-2.3', dataLicense='CC0-1.0', SPDXID='SPDXRef-DOCUMENT', documentNamespace='',
                name=f'karvelon-{args.version}', creationInfo=dict(created='', creators=creators),
                packages=[dict(package, downloadLocation='NOASSERTION', filesAnalyzed=False) for package in packages],
                relationships=[dict(spdxElementId=element, relationshipType=kind, relatedSpdxElement=related)
                               for element, kind, related in relationships])
    if explained:
        sbom['hasExtractedLicensingInfos'] = [dict(licenseId=spdx, name=debian_name, extractedText=licence_text)
                                              for spdx, (debian_name, licence_text) in sorted(explained.items())]
    # Written last, so that a run that stopped leaves nothing that looks finished.
    Path(args.template).write_text(json.dumps(sbom, indent=1))
    Path(args.notices).write_bytes(text.replace('\n', '\r\n').encode('ascii'))


def source_commit(source_dir):
    """(commit, its time, whether the tree has changes) of the checkout that is source_dir itself."""
    def git(*args):
        run = subprocess.run(['git', '-C', source_dir, *args], capture_output=True, text=True, check=False)
        return run.stdout.strip() if run.returncode == 0 else None
    top = shutil.which('git') and git('rev-parse', '--show-toplevel')
    if not top or os.path.realpath(top) != os.path.realpath(source_dir):
        return None  # not a checkout, or a copy inside another one, whose commit is not this tree's
    head = (git('log', '-1', '--format=%H %ct') or '').split()
    return (head[0], int(head[1]), git('status', '--porcelain') != '') if len(head) == 2 else None


def sbom(args):
    """Nothing comes from the clock nor the environment: the creation time is the commit's; a source tree that
    is not a checkout of its own names no commit and takes 1970-01-01T00:00:00Z."""
    document = json.loads(Path(args.template).read_text())
    commit = source_commit(args.source_dir)
    epoch, comment = ((commit[1], "The creation time is the source commit's.") if commit else
                      (0, 'No source commit was known: the creation time is a placeholder.'))
    created = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime('%Y-%m-%dT%H:%M:%SZ')
    document['creationInfo'].update(created=created, comment=comment)
    source_info = ('built from a source tree outside git: no source commit is known' if not commit else
                   f'built from git commit {commit[0]}' + (' with uncommitted changes' if commit[2] else ''))
    exe_sha256 = dict(algorithm='SHA256', checksumValue=hashlib.sha256(Path(args.exe).read_bytes()).hexdigest())
    document['packages'][0].update(checksums=[exe_sha256], sourceInfo=source_info)
    # The namespace is unique to the content: a URL that ends in the SHA-256 of the document without it.
    digest = hashlib.sha256(styled(document).encode()).hexdigest()
    document['documentNamespace'] = f'http://www.karvelon.example/spdx/{document["name"]}-{digest}'
    # Written only when it changes: the build runs this every time, to follow the checkout's commit.
    text = styled(document) + '\n'
    if not os.path.exists(args.output) or Path(args.output).read_text() != text:
        Path(args.output).write_text(text)


def signature(path):
    return f'{os.stat(path).st_mtime_ns}:{os.stat(path).st_size}' if os.path.exists(path) else 'missing'


def record_link(args):
    loaded = dict.fromkeys(read_map(args.map, args.build_dir)[0])
    Path(args.record).write_text(''.join(f'{signature(path)} {path}\n' for path in loaded), 'utf-8', 'surrogateescape')


def check_link(args):
    """Any change counts, not only a newer time: an upgrade brings its package's times, often older ones.
    Without a record there has been no link, or one that this build did not make: the link is due anyway."""
    recorded = Path(args.record).read_text('utf-8', 'surrogateescape') if os.path.exists(args.record) else ''
    changed = any(signature(path) != times for times, path in (line.split(' ', 1) for line in recorded.splitlines()))
    if changed or not os.path.exists(args.stamp):
        Path(args.stamp).touch()


def main(argv):
    parser = argparse.ArgumentParser(prog='third-party.py', description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('step', choices=('notices', 'sbom', 'record-link', 'check-link'))
    for option in ('map', 'build-dir', 'runtime-dir', 'mingw-source', 'version', 'vendor', 'licence-id', 'licence-file',
                   'notices', 'template', 'exe', 'source-dir', 'output', 'record', 'stamp'):
        parser.add_argument(f'--{option}')
    parser.add_argument('--runtime-object', action='append', default=[], help='OBJECT=SOURCE, as the link map names it')
    args = parser.parse_args(argv)
    globals()[args.step.replace('-', '_')](args)


if __name__ == '__main__':
    main(sys.argv[1:])
