# Shared helpers of the Python programs that make_ntfs_fixture.sh and
# make_reformatted_fixture.sh write out and run: generated content, the fixed
# volume serial number, and reading sleuthkit's fls and istat output. The
# scripts put this folder on PYTHONPATH; the module is not run by itself.
import random, re, struct, subprocess, sys

BLOCK = 4096

# --- content ------------------------------------------------------------------
WORDS = ('the quarterly revenue growth team project customer meeting report budget plan '
         'schedule review draft final summary market product release support service '
         'holiday travel photo archive backup office north south region target value '
         'increase decrease forecast analysis result system network storage disk volume '
         'update version change request approval invoice payment supplier contract').split()

def text(seed, size, title=''):
    """Numbered lines of random words, after an optional title line."""
    r = random.Random(seed)
    out = [title + '\n' if title else '']
    n, line = len(out[0]), 0
    while n < size:
        line += 1
        s = '%05d %s.\n' % (line, ' '.join(r.choice(WORDS) for _ in range(r.randint(5, 14)))
                             .capitalize())
        out.append(s)
        n += len(s)
    return ''.join(out).encode()[:size]

def csv(seed, size, year):
    """A CSV table of sales rows dated in YEAR."""
    r = random.Random(seed)
    out = ['date,region,item,quantity,amount\n']
    n, i = len(out[0]), 0
    while n < size:
        i += 1
        s = '%d-%02d-%02d,%s,%s,%d,%.2f\n' % (year, i % 12 + 1, i % 28 + 1,
            r.choice(['North', 'South', 'East', 'West']), r.choice(WORDS),
            r.randint(1, 500), r.uniform(10, 9999))
        out.append(s)
        n += len(s)
    return ''.join(out).encode()[:size]

# --- the volume ------------------------------------------------------------------
def serial(image, sectors, value):
    """Writes the serial number VALUE (hex) into the boot sector of IMAGE and
    into its backup in the last of its SECTORS sectors."""
    sectors, value = int(sectors), int(value, 16)
    with open(image, 'r+b') as f:
        b = f.read(512)
        f.seek((sectors - 1) * 512)
        if b[3:11] != b'NTFS    ' or f.read(512) != b:
            sys.exit('no NTFS boot sector with its backup in the last sector')
        for pos in (0, (sectors - 1) * 512):
            f.seek(pos + 0x48)
            f.write(struct.pack('<Q', value))

# --- sleuthkit ------------------------------------------------------------------
def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout

FLS = re.compile(r'^(\S)/(\S) (\* )?(\d+)(?:-(\d+)-(\d+))?(\(realloc\))?:\t(.*)$')

def fls_entries(lines):
    """Parses the lines of `fls -r -p`."""
    out = []
    for line in lines:
        m = FLS.match(line.rstrip('\n'))
        if not m:
            sys.exit('unexpected fls line: %r' % line)
        out.append(dict(name_type=m.group(1), meta_type=m.group(2), deleted=bool(m.group(3)),
                        inode=int(m.group(4)), attr=m.group(5) and '%s-%s' % (m.group(5), m.group(6)),
                        realloc=bool(m.group(7)), path=m.group(8)))
    return out

def fls(image, offset='0', *extra):
    """`fls -r -p` of the NTFS volume at sector OFFSET of IMAGE, parsed."""
    return fls_entries(run('fls', '-r', '-p', *extra, '-o', str(offset), '-f', 'ntfs', image)
                       .decode('utf-8').splitlines())

TYPE = re.compile(r'^Type: (\$\w+) \((\d+)-(\d+)\)\s+Name: (.*?)\s+(Resident|Non-Resident)(.*?)\s+size: (\d+)')

def istat(image, offset, inode):
    """istat of a record: its link count, whether it is allocated, and its
    attributes (type, id, name, resident, flags, size, clusters)."""
    out = run('istat', '-o', str(offset), '-f', 'ntfs', image, str(inode)).decode('utf-8', 'replace')
    attrs, cur = [], None
    links = int(re.search(r'^Links: (\d+)', out, re.M).group(1))
    allocated = bool(re.search(r'^Allocated (File|Directory)', out, re.M))
    section = out.split('\nAttributes: \n', 1)[1] if '\nAttributes: \n' in out else ''
    for line in section.splitlines():
        m = TYPE.match(line)
        if m:
            cur = dict(type=m.group(1), id='%s-%s' % (m.group(2), m.group(3)), name=m.group(4),
                       resident=m.group(5) == 'Resident', extra=m.group(6),
                       size=int(m.group(7)), clusters=[])
            attrs.append(cur)
        elif cur is not None and re.fullmatch(r'[\d ]+', line.strip() or 'x'):
            cur['clusters'] += [int(c) for c in line.split()]
    return dict(links=links, allocated=allocated, attrs=attrs)
