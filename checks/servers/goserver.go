// A small Go server as Go servers are commonly written, for the fresh-system
// check: it answers HTTP, shuts down gracefully on SIGTERM, reloads on
// SIGHUP, starts one helper program with os/exec, and panics on request.
package main

import (
	"context"
	"flag"
	"fmt"
	"log"
	"net/http"
	"os"
	"os/exec"
	"os/signal"
	"sync/atomic"
	"syscall"
)

func main() {
	listen := flag.String("listen", "127.0.0.1:8080", "address to serve on")
	helper := flag.String("helper", "/usr/local/bin/myhelper", "helper program to start")
	flag.Parse()

	// The helper runs for as long as the server; it is not told when the
	// server dies.
	child := exec.Command(*helper, "3600")
	if err := child.Start(); err != nil {
		log.Fatalf("helper: %v", err)
	}
	go func() { _ = child.Wait() }()

	var reloads atomic.Int64
	mux := http.NewServeMux()
	mux.HandleFunc("/", func(w http.ResponseWriter, _ *http.Request) {
		fmt.Fprintf(w, "pid %d helper %d reloads %d\n", os.Getpid(), child.Process.Pid, reloads.Load())
	})
	// net/http recovers a panic in a handler, so the fault is raised in a
	// goroutine of its own, as a bug in background work would be.
	mux.HandleFunc("/panic", func(w http.ResponseWriter, _ *http.Request) {
		fmt.Fprintln(w, "panicking")
		go func() { panic("asked to") }()
	})
	server := &http.Server{Addr: *listen, Handler: mux}

	stopped := make(chan struct{})
	signals := make(chan os.Signal, 1)
	signal.Notify(signals, syscall.SIGTERM, syscall.SIGHUP)
	go func() {
		for s := range signals {
			if s == syscall.SIGHUP {
				reloads.Add(1)
				log.Print("reloaded")
				continue
			}
			log.Print("shutting down")
			_ = server.Shutdown(context.Background())
			close(stopped)
			return
		}
	}()
	if err := server.ListenAndServe(); err != http.ErrServerClosed {
		log.Fatal(err)
	}
	// ListenAndServe returns as soon as the shutdown begins.
	<-stopped
	_ = child.Process.Kill()
}
