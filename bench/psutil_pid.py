# What finding the main proxy process costs with psutil: the first process
# whose executable path contains /usr/sbin/squid and whose owner is squid.
import psutil

found = None
for process in psutil.process_iter():
    try:
        if "/usr/sbin/squid" in process.exe() and process.username() == "squid":
            found = process.pid
            break
    except (psutil.NoSuchProcess, psutil.AccessDenied, psutil.ZombieProcess):
        continue
print(found)
