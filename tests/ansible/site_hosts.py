# Site hosts for the Ansible tests: a controller and N sites, each a network
# namespace this process creates and removes. Every site has its own sshd
# (its own host key, listening only on its end of a veth link to the
# controller) and its own simulated units on its loopback. Nothing made here
# has a link to the machine's own network.
#
#   ctl  c1 10.82.1.1/24 <-veth-> eth0 10.82.1.2/24  site1  (sshd, units 127.0.0.x)
#        c2 10.82.2.1/24 <-veth-> eth0 10.82.2.2/24  site2  ...
#
# ansible-playbook runs inside the controller's namespace and reaches the
# sites over SSH as root with a key made for the test; the sites run fwprog
# from the build tree, as the module's `fwprog` option names it.

import getpass
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

NAME_PREFIX = "fwpa-"


def run(args, check=True, **kwargs):
    return subprocess.run(args, check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kwargs)


def wait_for(condition, seconds, what):
    """Polls condition until it holds or the deadline passes."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    if not condition():
        raise AssertionError("timed out after %g s waiting for %s" % (seconds, what))


def missing_prerequisite():
    """Why this machine cannot host the sites, or None."""
    if os.geteuid() != 0:
        return "network namespaces and sshd need root"
    for tool in ("ip", "ssh", "ssh-keygen", "ansible-playbook"):
        if shutil.which(tool) is None:
            return "%s is not installed (scripts/setup.sh installs it)" % tool
    if not os.access("/usr/sbin/sshd", os.X_OK):
        return "/usr/sbin/sshd is not installed (openssh-server; scripts/setup.sh installs it)"
    probe = "%s%d-probe" % (NAME_PREFIX, os.getpid())
    if run(["ip", "netns", "add", probe], check=False).returncode != 0:
        return "cannot make network namespaces here (ip netns add failed)"
    run(["ip", "netns", "del", probe], check=False)
    return None


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _namespace_pids(name):
    out = run(["ip", "netns", "pids", name], check=False).stdout
    return [int(word) for word in out.split() if word.isdigit()]


def _end_processes_in(name):
    """Ends every process inside the namespace: sshd and its sessions, ssh
    masters, fwprog, the simulators."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = _namespace_pids(name)
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        while pids and time.monotonic() < deadline:
            pids = [pid for pid in pids if _alive(pid)]
            time.sleep(0.05)
        if not pids:
            return


def sweep_leftovers():
    """Removes the namespaces and folders of an earlier run of these tests
    whose process is gone (one killed before it could clean up)."""
    pattern = re.compile(r"^%s(\d+)-" % re.escape(NAME_PREFIX))
    for line in run(["ip", "netns", "list"], check=False).stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        found = pattern.match(name)
        if found and not _alive(int(found.group(1))):
            _end_processes_in(name)
            run(["ip", "netns", "del", name], check=False)
    for entry in os.listdir(tempfile.gettempdir()):
        found = pattern.match(entry)
        if found and not _alive(int(found.group(1))):
            shutil.rmtree(os.path.join(tempfile.gettempdir(), entry), ignore_errors=True)


class Site:
    def __init__(self, index, namespace, folder):
        self.index = index
        self.name = "site%d" % index
        self.namespace = namespace
        self.folder = folder
        self.address = "10.82.%d.2" % index
        self.sim_log = os.path.join(folder, "units.log")

    def events(self, kind=None):
        """The simulated units' events, as JSON objects."""
        if not os.path.exists(self.sim_log):
            return []
        events = []
        with open(self.sim_log, encoding="utf-8", errors="replace") as stream:
            for line in stream:
                if line.startswith("{"):
                    event = json.loads(line)
                    if kind is None or event.get("event") == kind:
                        events.append(event)
        return events


class SiteHosts:
    """The controller and its sites. Use as a context manager: everything is
    removed on the way out, also after a failure or a SIGTERM."""

    # The units' ports at every site: not the defaults, so the playbook's
    # fwprog_extra_args must reach fwprog for anything to be programmed.
    UDP_PORT, TCP_PORT, STATUS_PORT = 16000, 19100, 40101

    def __init__(self, build_dir, collections, site_count=3):
        self.build_dir = build_dir
        self.collections = collections
        self.fwprog = os.path.join(build_dir, "cli", "fwprog")
        self.simulator = os.path.join(build_dir, "sim", "fwprog-unit-sim")
        self.site_count = site_count
        self.folder = None
        self.namespaces = []
        self.processes = []
        self.sites = []
        self.controller = None

    # --- set-up ----------------------------------------------------------

    def __enter__(self):
        self._old_handlers = {}
        for sig in (signal.SIGTERM, signal.SIGHUP):
            self._old_handlers[sig] = signal.signal(sig, self._on_signal)
        try:
            sweep_leftovers()
            self.folder = tempfile.mkdtemp(prefix="%s%d-" % (NAME_PREFIX, os.getpid()))
            os.chmod(self.folder, 0o755)
            self._make_network()
            self._make_keys()
            for site in self.sites:
                self._start_sshd(site)
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    @staticmethod
    def _on_signal(signum, frame):
        raise SystemExit("stopped by signal %d" % signum)

    def _namespace(self, role):
        name = "%s%d-%s" % (NAME_PREFIX, os.getpid(), role)
        run(["ip", "netns", "add", name])
        self.namespaces.append(name)
        run(["ip", "-n", name, "link", "set", "lo", "up"])
        return name

    def _make_network(self):
        self.controller = self._namespace("ctl")
        for index in range(1, self.site_count + 1):
            namespace = self._namespace("site%d" % index)
            folder = os.path.join(self.folder, "site%d" % index)
            os.makedirs(folder)
            site = Site(index, namespace, folder)
            # Both ends are made inside the namespaces, never in the machine's own.
            link = "c%d" % index
            run(["ip", "-n", self.controller, "link", "add", link, "type", "veth", "peer", "name",
                 "eth0", "netns", namespace])
            run(["ip", "-n", self.controller, "addr", "add", "10.82.%d.1/24" % index, "dev", link])
            run(["ip", "-n", self.controller, "link", "set", link, "up"])
            run(["ip", "-n", namespace, "addr", "add", site.address + "/24", "dev", "eth0"])
            run(["ip", "-n", namespace, "link", "set", "eth0", "up"])
            self.sites.append(site)

    def _make_keys(self):
        self.client_key = os.path.join(self.folder, "client_key")
        run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "fwprog-ansible-test", "-f",
             self.client_key])
        shutil.copy(self.client_key + ".pub", os.path.join(self.folder, "authorized_keys"))
        known = []
        for site in self.sites:
            key = os.path.join(site.folder, "ssh_host_ed25519_key")
            run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", site.name, "-f", key])
            with open(key + ".pub", encoding="ascii") as stream:
                kind, blob = stream.read().split()[:2]
            known.append("%s %s %s\n" % (site.address, kind, blob))
        self.known_hosts = os.path.join(self.folder, "known_hosts")
        with open(self.known_hosts, "w", encoding="ascii") as stream:
            stream.writelines(known)

    def _start_sshd(self, site):
        # sshd's privilege separation needs its empty folder, as the
        # package's service would make it.
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        config = os.path.join(site.folder, "sshd_config")
        with open(config, "w", encoding="ascii") as stream:
            stream.write(
                "ListenAddress %s:22\n"
                "HostKey %s\n"
                "PidFile %s\n"
                "AuthorizedKeysFile %s\n"
                # The test's files live under /tmp, which is world-writable.
                "StrictModes no\n"
                "PermitRootLogin prohibit-password\n"
                "PubkeyAuthentication yes\n"
                "PasswordAuthentication no\n"
                "KbdInteractiveAuthentication no\n"
                "UsePAM no\n"
                "UseDNS no\n"
                "Subsystem sftp internal-sftp\n"
                "LogLevel INFO\n"
                % (site.address, os.path.join(site.folder, "ssh_host_ed25519_key"),
                   os.path.join(site.folder, "sshd.pid"),
                   os.path.join(self.folder, "authorized_keys")))
        log = os.path.join(site.folder, "sshd.log")
        self._spawn(site.namespace, ["/usr/sbin/sshd", "-D", "-e", "-f", config], log)
        wait_for(lambda: "Server listening on" in _read(log), 20,
                 "sshd in %s to listen (%s)" % (site.namespace, log))

    def _spawn(self, namespace, args, log):
        with open(log, "ab") as out:
            process = subprocess.Popen(["ip", "netns", "exec", namespace] + args, stdout=out,
                                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def start_units(self, site, units):
        """Starts the site's simulated units: units is a list of (address,
        [extra simulator options])."""
        args = [self.simulator, "--udp-port", str(self.UDP_PORT), "--tcp-port", str(self.TCP_PORT),
                "--status-port", str(self.STATUS_PORT)]
        for address, options in units:
            args += ["--unit", address] + list(options)
        self._spawn(site.namespace, args, site.sim_log)
        wait_for(lambda: site.events("ready"), 20, "the simulated units of %s" % site.name)

    # --- running Ansible ---------------------------------------------------

    def write_inventory(self, site_units, variables=None):
        """An inventory of the sites, each with its list of unit addresses."""
        hosts = {}
        for site in self.sites:
            hosts[site.name] = {
                "ansible_host": site.address,
                "fwprog_units": site_units[site.name],
                "fwprog_remote_dir": os.path.join(site.folder, "rollout"),
                "ansible_remote_tmp": os.path.join(site.folder, "ansible-tmp"),
            }
        group_vars = {
            "ansible_user": getpass.getuser(),
            "ansible_ssh_private_key_file": self.client_key,
            "ansible_ssh_common_args": "-o UserKnownHostsFile=%s -o StrictHostKeyChecking=yes"
                                       % self.known_hosts,
            "ansible_python_interpreter": "/usr/bin/python3",
            "fwprog_executable": self.fwprog,
            "fwprog_jobs": 2,
            "fwprog_extra_args": ["--unit-udp-port", str(self.UDP_PORT), "--unit-tcp-port",
                                  str(self.TCP_PORT), "--status-port", str(self.STATUS_PORT),
                                  "--after-wait", "10"],
        }
        group_vars.update(variables or {})
        path = os.path.join(self.folder, "inventory.json")
        with open(path, "w", encoding="utf-8") as stream:
            # JSON is YAML: the inventory plugin reads it as it is.
            json.dump({"sites": {"hosts": hosts, "vars": group_vars}}, stream, indent=1)
        return path

    def ansible_environment(self):
        home = os.path.join(self.folder, "ansible-home")
        config = os.path.join(self.folder, "ansible.cfg")
        if not os.path.exists(config):
            with open(config, "w", encoding="ascii") as stream:
                stream.write("[defaults]\n")
        env = dict(os.environ)
        env.update({
            "ANSIBLE_CONFIG": config,  # no ansible.cfg of the machine's or the user's
            "ANSIBLE_HOME": home,
            "ANSIBLE_LOCAL_TEMP": os.path.join(home, "tmp"),
            "ANSIBLE_COLLECTIONS_PATH": self.collections,
            "ANSIBLE_SSH_CONTROL_PATH_DIR": os.path.join(self.folder, "cp"),
            "ANSIBLE_STDOUT_CALLBACK": "ansible.posix.json",
            "ANSIBLE_HOST_KEY_CHECKING": "True",
            "ANSIBLE_RETRY_FILES_ENABLED": "False",
            "ANSIBLE_PIPELINING": "True",
            "ANSIBLE_NOCOLOR": "1",
            "ANSIBLE_FORCE_COLOR": "0",
        })
        return env

    def playbook(self, inventory, extra_vars, check=False, timeout=300):
        """Runs the collection's rollout playbook from the controller;
        returns (exit status, the JSON callback's document, stderr)."""
        args = ["ip", "netns", "exec", self.controller, "ansible-playbook", "-i", inventory,
                "fwprog.fleet.rollout", "-e", json.dumps(extra_vars)]
        if check:
            args.append("--check")
        done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=self.ansible_environment(), timeout=timeout, cwd=self.folder)
        self.runs = getattr(self, "runs", 0) + 1
        with open(os.path.join(self.folder, "playbook-%d.json" % self.runs), "w") as saved:
            saved.write(done.stdout + "\n" + done.stderr)
        try:
            document = json.loads(done.stdout)
        except ValueError:
            document = None
        if document is None:
            raise AssertionError("ansible-playbook gave no JSON (exit status %d):\n%s\n%s"
                                 % (done.returncode, done.stdout, done.stderr))
        return done.returncode, document, done.stderr

    # --- clean-up ----------------------------------------------------------

    def close(self):
        for name in self.namespaces:
            _end_processes_in(name)
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.wait()
        for name in self.namespaces:
            run(["ip", "netns", "del", name], check=False)
        self.namespaces = []
        if self.folder and not os.environ.get("FWPROG_KEEP_ANSIBLE_TEST"):
            shutil.rmtree(self.folder, ignore_errors=True)
        for sig, handler in getattr(self, "_old_handlers", {}).items():
            signal.signal(sig, handler)
        self._old_handlers = {}


def _read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            return stream.read()
    except FileNotFoundError:
        return ""


def task_results(document, task_name):
    """{host: result} of every run of the named task across the plays (one
    play entry per serial batch)."""
    results = {}
    for play in document.get("plays", []):
        for task in play.get("tasks", []):
            if task.get("task", {}).get("name") == task_name:
                results.update(task.get("hosts", {}))
    return results


def failures(document):
    """What failed, host by host, for a test's failure message."""
    lines = []
    for play in document.get("plays", []):
        for task in play.get("tasks", []):
            for host, result in task.get("hosts", {}).items():
                if result.get("failed") or result.get("unreachable"):
                    lines.append("%s: %s: %s" % (host, task.get("task", {}).get("name"),
                                                 result.get("msg")))
    return "\n".join(lines)


def batches(document, play_name):
    """The hosts of each batch of the named play, in order."""
    found = []
    for play in document.get("plays", []):
        if play.get("play", {}).get("name") == play_name:
            hosts = set()
            for task in play.get("tasks", []):
                hosts.update(task.get("hosts", {}).keys())
            found.append(sorted(hosts))
    return found
