"""Real servers for the zem-publish interop tests, each started by the test
in the foreground on loopback from Debian's packages and stopped at the
end (never as a system service): Apache httpd (HTTP/1.1 only, or HTTP/2),
Caddy, and Apache Traffic Server as a caching reverse proxy in front of an
nginx origin."""

import os
import shutil
import signal
import socket
import subprocess
import time

from zem_e2e import Nginx, port_is_free, run_folder


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def open_to_workers(path):
    """Apache's workers run as www-data: the folder path and those above it
    up to the run folder must let them in and read, whatever the umask made
    them. Only folders in the run folder are ever changed."""
    top = run_folder()
    path = os.path.abspath(path)
    if os.path.commonpath([path, top]) != top:
        raise ValueError(f"{path} is not in the run folder {top}")
    while True:
        os.chmod(path, os.stat(path).st_mode | 0o755)
        if path == top:
            break
        path = os.path.dirname(path)


class ForegroundServer:
    """A server process in the foreground; started() waits for its port."""

    name = "server"

    def start(self, command, log, env=None):
        self.log = log
        with open(log, "ab") as out:
            self.process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, env=env,
                                            start_new_session=True)
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.1)
        self.stop()
        with open(log, errors="replace") as f:
            raise RuntimeError(f"{self.name} did not start: {f.read()[-3000:]}")

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()


class Apache(ForegroundServer):
    """Apache httpd (mpm_event, mod_ssl; mod_http2 when http2)."""

    def __init__(self, folder, docroot, ca, port, http2):
        self.name = "apache2 (HTTP/2)" if http2 else "apache2 (HTTP/1.1)"
        self.port = port
        os.makedirs(folder, exist_ok=True)
        modules = "/usr/lib/apache2/modules"
        loads = ["mpm_event", "authz_core", "ssl", "socache_shmcb", "mime"] + (["http2"] if http2 else [])
        conf = os.path.join(folder, "httpd.conf")
        with open(conf, "w") as f:
            f.write("".join(f"LoadModule {m}_module {modules}/mod_{m}.so\n" for m in loads))
            f.write(f"""
ServerName localhost
ServerRoot {folder}
DefaultRuntimeDir {folder}
PidFile {folder}/httpd.pid
ErrorLog {folder}/error.log
LogLevel warn
Mutex file:{folder} default
User www-data
Group www-data
Listen 127.0.0.1:{port}
TypesConfig /etc/mime.types
SSLSessionCache shmcb:{folder}/ssl_cache(512000)
<VirtualHost 127.0.0.1:{port}>
    Protocols {"h2 " if http2 else ""}http/1.1
    SSLEngine on
    SSLCertificateFile {ca.cert}
    SSLCertificateKeyFile {ca.key}
    DocumentRoot {docroot}
    <Directory {docroot}>
        Require all granted
    </Directory>
</VirtualHost>
""")
        self.start(["/usr/sbin/apache2", "-f", conf, "-DFOREGROUND"], os.path.join(folder, "stdout.log"))


class Caddy(ForegroundServer):
    """Caddy's file server with the test CA's certificate (no ACME, no admin
    endpoint, no changes to the system's trust store)."""

    def __init__(self, folder, docroot, ca, port):
        self.name = "caddy"
        self.port = port
        os.makedirs(folder, exist_ok=True)
        conf = os.path.join(folder, "Caddyfile")
        with open(conf, "w") as f:
            f.write(f"""{{
    admin off
    auto_https disable_redirects
    skip_install_trust
    storage file_system {folder}/data
    servers {{
        protocols h1 h2
    }}
}}
https://localhost:{port} {{
    bind 127.0.0.1
    tls {ca.cert} {ca.key}
    root * {docroot}
    file_server
}}
""")
        env = dict(os.environ, HOME=folder, XDG_DATA_HOME=folder, XDG_CONFIG_HOME=folder)
        self.start(["caddy", "run", "--config", conf, "--adapter", "caddyfile"], os.path.join(folder, "caddy.log"), env)


class TrafficServer(ForegroundServer):
    """Apache Traffic Server over TLS on port, caching what it fetches from
    an nginx origin (HTTPS, its own free port). cache_megabytes sets the
    size of its disk cache. The origin's certificate is checked against the
    test CA by signature only: ATS matches names as DNS names, and it
    reaches the origin at 127.0.0.1 (its own resolver does not read
    "localhost" from /etc/hosts here)."""

    def __init__(self, folder, docroot, ca, port, cache_megabytes=256):
        self.name = "trafficserver"
        self.port = port
        self.folder = folder
        for sub in ("etc", "run", "log", "cache", "origin"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        self.origin = Nginx(os.path.join(folder, "origin"), docroot, ca, port=free_port())
        etc = os.path.join(folder, "etc")
        for name in ("body_factory", "logging.yaml", "plugin.config", "hosting.config", "volume.config",
                     "cache.config", "parent.config", "socks.config", "splitdns.config", "strategies.yaml",
                     "sni.yaml"):
            source = os.path.join("/etc/trafficserver", name)
            if os.path.isdir(source):
                shutil.copytree(source, os.path.join(etc, name), dirs_exist_ok=True)
            elif os.path.exists(source):
                shutil.copyfile(source, os.path.join(etc, name))
        with open(os.path.join(etc, "records.config"), "w") as f:
            f.write(f"""CONFIG proxy.config.http.server_ports STRING {port}:ipv4:ssl:ip-in=127.0.0.1
CONFIG proxy.config.admin.user_id STRING #-1
CONFIG proxy.config.local_state_dir STRING {folder}/run
CONFIG proxy.config.log.logfile_dir STRING {folder}/log
CONFIG proxy.config.bin_path STRING /usr/bin
CONFIG proxy.config.plugin.plugin_dir STRING /usr/lib/trafficserver/modules
CONFIG proxy.config.ssl.server.cert.path STRING /
CONFIG proxy.config.ssl.server.private_key.path STRING /
CONFIG proxy.config.ssl.client.CA.cert.filename STRING {ca.ca_cert}
CONFIG proxy.config.ssl.client.verify.server.policy STRING ENFORCED
CONFIG proxy.config.ssl.client.verify.server.properties STRING SIGNATURE
CONFIG proxy.config.url_remap.remap_required INT 1
CONFIG proxy.config.reverse_proxy.enabled INT 1
CONFIG proxy.config.http.cache.http INT 1
CONFIG proxy.config.http.cache.required_headers INT 0
CONFIG proxy.config.http.cache.range.write INT 1
CONFIG proxy.config.http.cache.ignore_client_no_cache INT 1
CONFIG proxy.config.http.insert_response_via_str INT 0
CONFIG proxy.config.diags.debug.enabled INT 0
CONFIG proxy.config.task_threads INT 2
CONFIG proxy.config.exec_thread.autoconfig INT 0
CONFIG proxy.config.exec_thread.limit INT 2
CONFIG proxy.config.cache.ram_cache.size INT 16777216
CONFIG proxy.config.http2.max_concurrent_streams_in INT 100
""")
        with open(os.path.join(etc, "remap.config"), "w") as f:
            # ATS passes range requests through to the origin uncached; this
            # plugin caches each range answer under its URL and range. The
            # installer asks for the same windows of the same archive on every
            # device, so they come from the cache once one install has run.
            f.write(f"map https://localhost:{port}/ https://127.0.0.1:{self.origin.port}/"
                    " @plugin=cache_range_requests.so\n")
        with open(os.path.join(etc, "storage.config"), "w") as f:
            f.write(f"{folder}/cache {cache_megabytes}M\n")
        with open(os.path.join(etc, "ssl_multicert.config"), "w") as f:
            f.write(f"dest_ip=* ssl_cert_name={ca.cert} ssl_key_name={ca.key}\n")
        with open(os.path.join(etc, "ip_allow.yaml"), "w") as f:
            f.write("ip_allow:\n  - apply: in\n    ip_addrs: 0/0\n    action: allow\n"
                    "  - apply: out\n    ip_addrs: 0/0\n    action: allow\n")
        env = dict(os.environ, PROXY_CONFIG_CONFIG_DIR=etc, TS_ROOT=folder)
        self.start(["/usr/bin/traffic_server"], os.path.join(folder, "log", "stdout.log"), env)

    def stop(self):
        super().stop()
        self.origin.stop()
