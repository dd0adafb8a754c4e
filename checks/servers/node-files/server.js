// A small HTTP server on 127.0.0.1:8081: a primary with two workers
// (the cluster module), meant to run under monitor in the foreground.
//  - a worker that dies is replaced by the primary;
//  - SIGHUP reloads: the primary starts two new workers, and once they
//    listen, lets the old ones finish and exit; its own pid stays;
//  - SIGTERM (and SIGINT) shut down gracefully: workers finish, the
//    primary exits 0, which monitor leaves down;
//  - the workers leave every signal to the primary: they ignore SIGHUP,
//    SIGINT and SIGTERM (a signal to the whole group reaches them too), and
//    exit by themselves when the primary is gone (their channel to it closes);
//  - an uncaught exception (or unhandled rejection) in the primary is noted
//    in uncaught.log, in the working directory, and ends it with abort():
//    a death by SIGABRT, which monitor relaunches, where node itself would
//    exit 1, which monitor leaves down. A request to /crash makes the
//    primary throw one, for the check.
'use strict';
const cluster = require('node:cluster');
const fs = require('node:fs');
const http = require('node:http');

const port = Number(process.env.PORT || 8081);
const workers = 2;

if (cluster.isPrimary) {
  process.on('uncaughtException', (error) => {
    try {
      fs.appendFileSync('uncaught.log', `${new Date().toISOString()} primary ${process.pid}: ${error.stack}\n`);
    } finally {
      process.abort();
    }
  });

  let generation = 0;
  let stopping = false;
  const current = new Set();

  const fork = () => {
    const worker = cluster.fork({ GENERATION: String(generation) });
    current.add(worker);
    return worker;
  };

  cluster.on('exit', (worker, code, signal) => {
    const replace = current.delete(worker) && !stopping;
    console.log(`worker ${worker.process.pid} ended (${signal || code})${replace ? ', replaced' : ''}`);
    if (replace) fork();
  });

  process.on('SIGHUP', () => {
    if (stopping) return;
    generation += 1;
    const old = [...current];
    current.clear();
    console.log(`SIGHUP: reload, generation ${generation}`);
    let listening = 0;
    for (let i = 0; i < workers; i += 1) {
      fork().once('listening', () => {
        listening += 1;
        if (listening === workers) old.forEach((w) => w.disconnect());
      });
    }
  });

  const shutdown = (name) => {
    if (stopping) return;
    stopping = true;
    console.log(`${name}: shutting down`);
    for (const worker of Object.values(cluster.workers)) worker.disconnect();
    // Workers that do not finish within 10 s are killed; then exit 0.
    const deadline = setTimeout(() => {
      for (const worker of Object.values(cluster.workers)) worker.process.kill('SIGKILL');
      process.exit(0);
    }, 10000);
    deadline.unref();
    cluster.on('exit', () => {
      if (Object.keys(cluster.workers).length === 0) process.exit(0);
    });
    if (Object.keys(cluster.workers).length === 0) process.exit(0);
  };
  cluster.on('message', (worker, message) => {
    if (message === 'crash') {
      setImmediate(() => {
        throw new Error(`crash asked for by worker ${worker.process.pid}`);
      });
    }
  });

  process.on('SIGTERM', () => shutdown('SIGTERM'));
  process.on('SIGINT', () => shutdown('SIGINT'));

  for (let i = 0; i < workers; i += 1) fork();
  console.log(`primary ${process.pid} on 127.0.0.1:${port}`);
} else {
  for (const name of ['SIGHUP', 'SIGINT', 'SIGTERM']) process.on(name, () => {});
  http
    .createServer((req, res) => {
      if (req.url === '/crash') process.send('crash');
      res.setHeader('Content-Type', 'text/plain');
      res.end(`worker ${process.pid} of primary ${process.ppid}, generation ${process.env.GENERATION}\n`);
    })
    .listen(port, '127.0.0.1');
}
